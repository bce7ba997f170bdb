#include "status_mode.hpp"

#include <cstdio>
#include <optional>
#include <string>

#include "control/fan_controller.hpp"
#include "control/snapshot_json.hpp"
#include "smc/smc.hpp"

FanResult<void> run_status() {
    std::optional<Snapshot> snapshot;
    {
        // The SMC and a controller over it; no lock, no root check.
        auto smc = Smc::open();
        if (!smc) return std::unexpected(smc.error());
        FanController<Smc> controller(std::move(*smc));

        auto taken = controller.snapshot();
        if (!taken) return std::unexpected(taken.error());
        snapshot = std::move(*taken);
        // The controller and its SMC connection go away before anything is printed.
    }

    // The bare snapshot object on one line.
    std::string line;
    append_snapshot_json(line, *snapshot);
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
        return fan_error("상태를 표준 출력에 쓰지 못했습니다.");
    }
    return {};
}
