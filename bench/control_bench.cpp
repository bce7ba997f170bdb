// Cost of taking a fan under manual control and of handing fans back, against the SMC this
// machine offers (inside the simulated machine: the virtual device). Prints the structure calls
// of a set_until on a fan that switches at once and of a restore of two fans that confirm at
// once, and the wall time of a manual switch through the "Ftst" unlock.
//
// Usage: control_bench ftst    (device with its unlock delay: times the first switch)
//        control_bench direct  (device whose mode keys switch at once: counts the calls)
#include <chrono>
#include <cstdio>
#include <cstring>

#include "control/fan_controller.hpp"
#include "counting_port.hpp"
#include "smc/smc.hpp"

namespace {

using Clock = std::chrono::steady_clock;

int fail(const FanError& error) {
    std::fprintf(stderr, "control_bench: %s\n", error.message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool ftst = argc > 1 && std::strcmp(argv[1], "ftst") == 0;
    long calls = 0;
    auto smc = Smc::open(counting_port(SmcPort::production(), calls));
    if (!smc) return fail(smc.error());
    FanController<Smc> controller(std::move(*smc));

    if (ftst) {
        const auto t0 = Clock::now();
        if (auto r = controller.set_until(0, 2500, std::nullopt); !r) return fail(r.error());
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("manual switch through the Ftst unlock: %.3f s (%ld structure calls)\n", seconds, calls);
        if (auto r = controller.restore(); !r) return fail(r.error());
        return 0;
    }

    // Warm the key-info cache so the counts below are the steady ones.
    if (auto r = controller.set_until(0, 2500, std::nullopt); !r) return fail(r.error());
    if (auto r = controller.restore(); !r) return fail(r.error());

    calls = 0;
    if (auto r = controller.set_until(0, 2600, std::nullopt); !r) return fail(r.error());
    std::printf("set_until, fan switching at once: %ld structure calls\n", calls);
    if (auto r = controller.set_until(1, 2600, std::nullopt); !r) return fail(r.error());

    calls = 0;
    const auto t0 = Clock::now();
    auto restored = controller.restore();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (!restored) return fail(restored.error());
    std::printf("restore of two fans: %ld structure calls, %.2f ms\n", calls, ms);
    return 0;
}
