#include "serving.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <thread>

#include "control/fan_controller.hpp"
#include "ipc/socket_server.hpp"
#include "serve_loop.hpp"
#include "session_files.hpp"
#include "smc/smc.hpp"
#include "sys/clock.hpp"
#include "sys/stop_signal.hpp"

namespace {

// Hands every fan back before the process may go: there is no retry limit, because leaving a
// fan in manual mode is worse than a helper that keeps trying.
void restore_until_automatic(FanController<Smc>& controller) {
    while (!controller.controlled.empty() || controller.ftst_engaged) {
        if (controller.restore()) break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

}  // namespace

FanResult<void> run_serving(const ServingArgs& args) {
    const bool daemon_mode = args.mode == ServingMode::daemon;

    // 1. Nothing this session creates is readable by others unless made so on purpose.
    umask(077);

    // 2-3. The single-instance lock, held through the descriptor for the whole session.
    auto lock = acquire_instance_lock(kLockFilePath);
    if (!lock) return std::unexpected(lock.error());

    // 4. The socket path.
    std::string socket_path;
    if (daemon_mode) {
        socket_path = kDaemonSocketPath;
    } else {
        auto path = session_path(args.third);
        if (!path) return std::unexpected(path.error());
        socket_path = std::move(*path);
    }

    // 5-6. The session directory.
    const std::string directory = session_directory_of(socket_path);
    if (auto made = create_session_directory(directory, daemon_mode); !made) {
        return std::unexpected(made.error());
    }

    // 7. From here on every way out removes the session's files.
    Cleanup cleanup(socket_path, directory, std::move(*lock));

    // 8. The mask narrowed the directory; the session user must be able to reach the socket.
    if (chmod(directory.c_str(), 0711) != 0) return fan_error(kSessionModeFailed);

    // 9. A socket left by an earlier daemon would make the bind fail.
    if (daemon_mode) unlink(socket_path.c_str());

    // 10. The control socket.
    auto bound = SocketServer::bind(socket_path, args.uid);
    if (!bound) return std::unexpected(bound.error());
    std::optional<SocketServer> server(std::move(*bound));

    // 11. The SMC and the controller (released before cleanup on failure by scope order).
    auto smc = Smc::open();
    if (!smc) return std::unexpected(smc.error());
    FanController<Smc> controller(std::move(*smc));

    // 12. The session.
    StopSignal::install();
    const std::optional<std::string> code_hash =
        daemon_mode ? std::optional<std::string>(args.third) : std::nullopt;
    const std::function<double()> now = continuous_seconds;
    serve_loop(*server, args.uid, code_hash, controller, daemon_mode, StopSignal::STOPPED, now);

    // Teardown, in its fixed order: socket, fans, SMC, then the session files (by scope).
    server.reset();
    restore_until_automatic(controller);
    return {};
}
