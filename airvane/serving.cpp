#include "serving.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "control/fan_controller.hpp"
#include "hand_back.hpp"
#include "ipc/socket_server.hpp"
#include "manual_record_file.hpp"
#include "serve_loop.hpp"
#include "session_claim.hpp"
#include "session_files.hpp"
#include "sys/durable_file.hpp"
#include "smc/smc.hpp"
#include "stop_signals_held.hpp"
#include "sys/clock.hpp"
#include "sys/stop_signal.hpp"

namespace {

using Controller = FanController<Smc>;

// The SMC and the controller over it, which tells the record what it may make manual.
FanResult<void> open_controller(std::optional<Controller>& controller, ManualRecordFile& record) {
    auto smc = Smc::open();
    if (!smc) return std::unexpected(smc.error());
    controller.emplace(std::move(*smc));
    controller->record_manual = [&record](const std::set<std::int64_t>& fans, bool ftst) {
        return record.save(fans, ftst);
    };
    return {};
}

// Undoes what a helper that died without its teardown left: its manual fans and its "Ftst"
// first, then its session directory. Without an SMC nothing can be handed back; the record then
// stays for the next start and this one fails as any start without an SMC does.
FanResult<void> recover_dead_helper(std::optional<Controller>& controller, ManualRecordFile& record) {
    const std::optional<ManualRecord> left = record.take_over();
    if (!left) return {};
    if (left->lists_manual()) {
        if (auto opened = open_controller(controller, record); !opened) return opened;
        // Not confirmed yet: the controller stays restoring, which refuses manual work, the
        // serve loop's safety check retries every second and the teardown until it holds.
        (void)take_back_recorded_fans(*controller, *left);
    }
    remove_dead_session_directory(left->directory);
    return {};
}

}  // namespace

FanResult<void> run_serving(const ServingArgs& args) {
    const bool daemon_mode = args.mode == ServingMode::daemon;

    // Nothing this session creates is readable by others unless made so on purpose.
    umask(077);

    // Stops wait from before the lock and the directory exist until the loop runs, whose first
    // pass then ends the session: a stop in between still gets the whole teardown.
    StopSignalsHeld stops_held;

    // The single-instance lock, held through the descriptor for the whole session and given up
    // last, after every file of the session is settled.
    auto lock = acquire_instance_lock(kLockFilePath);
    if (!lock) return std::unexpected(lock.error());

    ManualRecordFile record(kManualRecordPath);
    std::optional<Controller> controller;
    if (auto recovered = recover_dead_helper(controller, record); !recovered) return recovered;

    // The socket path, and the directory that holds it.
    std::string socket_path;
    if (daemon_mode) {
        socket_path = kDaemonSocketPath;
    } else {
        auto path = session_path(args.third);
        if (!path) return std::unexpected(path.error());
        socket_path = std::move(*path);
    }
    const std::string directory = parent_directory(socket_path);

    if (auto made = claim_session_directory(record, controller ? &*controller : nullptr, directory, daemon_mode);
        !made) {
        return made;
    }

    // From here on every way out removes the session's files.
    Cleanup cleanup(socket_path, directory);

    // The mask narrowed the directory; the session user must be able to reach the socket.
    if (chmod(directory.c_str(), 0711) != 0) return fan_error(kSessionModeFailed);

    // A socket left by an earlier daemon would make the bind fail.
    if (daemon_mode) unlink(socket_path.c_str());

    auto bound = SocketServer::bind(socket_path, args.uid);
    if (!bound) return std::unexpected(bound.error());
    std::optional<SocketServer> server(std::move(*bound));

    // The controller of the recovery, if there was one, serves the session as well.
    if (!controller) {
        if (auto opened = open_controller(controller, record); !opened) return opened;
    }

    const std::optional<std::string> code_hash = daemon_mode ? std::optional<std::string>(args.third) : std::nullopt;
    const std::function<double()> now = continuous_seconds;
    stops_held.release();
    serve_loop(*server, args.uid, code_hash, *controller, daemon_mode, StopSignal::STOPPED, now);

    // Teardown, in its fixed order: socket, fans, SMC; then, by scope, the session files, the
    // record (gone now that nothing is manual) and the lock.
    server.reset();
    restore_until_automatic(*controller, fan_control_detail::sleep_thread);
    controller.reset();
    return {};
}
