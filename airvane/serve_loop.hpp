#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ipc/protocol.hpp"

inline constexpr double kHeartbeatLapse = 12.0;
inline constexpr double kSafetyCheckPeriod = 1.0;

// The loop's own variables that the command dispatcher works on while a connection is served.
template <typename Controller>
struct SessionContext {
    double& last_heartbeat;
    bool& active;
    Controller& controller;
    bool& quit_requested;
    const bool daemon_mode;
    const std::function<double()>& now;
};

namespace serve_detail {

template <typename Controller>
Reply error_reply(Controller& controller, std::string message) {
    Reply reply;
    if (auto snapshot = controller.snapshot()) reply.snapshot = std::move(*snapshot);
    reply.error = std::move(message);
    return reply;
}

template <typename Controller>
Reply success_reply(Controller& controller) {
    auto snapshot = controller.snapshot();
    if (!snapshot) return error_reply(controller, snapshot.error().message);
    return Reply{.snapshot = std::move(*snapshot), .error = std::nullopt};
}

}  // namespace serve_detail

// Maps one request onto the controller. Never fails: every failure becomes the reply's error.
template <typename Controller>
Reply handle_request(const Request& request, SessionContext<Controller>& ctx) {
    using serve_detail::error_reply;
    using serve_detail::success_reply;
    auto& controller = ctx.controller;
    const std::string& command = request.command;

    if (command == "heartbeat" || command == "limit") {
        ctx.last_heartbeat = ctx.now();
        ctx.active = true;
        if (auto r = controller.update_ceiling(request.ceiling); !r) {
            return error_reply(controller, r.error().message);
        }
        ctx.last_heartbeat = ctx.now();
        return success_reply(controller);
    }
    if (command == "setAll") {
        ctx.active = true;
        if (!request.rpm) return error_reply(controller, kRpmRequestError);
        ctx.last_heartbeat = ctx.now();
        if (auto r = controller.update_ceiling(request.ceiling); !r) {
            return error_reply(controller, r.error().message);
        }
        ctx.last_heartbeat = ctx.now();
        if (auto r = controller.set_all(*request.rpm); !r) {
            return error_reply(controller, r.error().message);
        }
        ctx.last_heartbeat = ctx.now();
        return success_reply(controller);
    }
    if (command == "set") {
        ctx.active = true;
        if (!request.fan || !request.rpm) return error_reply(controller, kRpmRequestError);
        ctx.last_heartbeat = ctx.now();
        if (auto r = controller.update_ceiling(request.ceiling); !r) {
            return error_reply(controller, r.error().message);
        }
        ctx.last_heartbeat = ctx.now();
        if (auto r = controller.set_until(*request.fan, *request.rpm, std::nullopt); !r) {
            return error_reply(controller, r.error().message);
        }
        ctx.last_heartbeat = ctx.now();
        return success_reply(controller);
    }
    if (command == "ping") return Reply{};
    if (command == "auto") {
        if (auto r = controller.restore(); !r) return error_reply(controller, r.error().message);
        ctx.last_heartbeat = ctx.now();
        return success_reply(controller);
    }
    if (command == "quit") {
        if (auto r = controller.restore(); !r) return error_reply(controller, r.error().message);
        ctx.active = false;
        // The daemon outlives its clients; only a serve session ends on quit.
        if (!ctx.daemon_mode) ctx.quit_requested = true;
        return success_reply(controller);
    }
    return error_reply(controller, kUnknownCommand);
}

// Runs the session until a quit (serve mode), a lapsed heartbeat (serve mode) or a stop
// signal. `server.next(uid, code_hash, handler)` serves at most one connection and waits at
// most about half a second for one; the teardown afterwards belongs to the caller.
template <typename Controller, typename Server>
void serve_loop(Server& server, std::uint32_t uid, const std::optional<std::string>& code_hash,
                Controller& controller, bool daemon_mode, const std::atomic<bool>& stopped,
                const std::function<double()>& now) {
    double last_heartbeat = now();
    bool quit_requested = false;
    bool active = !daemon_mode;
    double last_safety_check = 0.0;
    SessionContext<Controller> ctx{last_heartbeat, active, controller, quit_requested, daemon_mode, now};
    const std::function<Reply(const Request&)> handler = [&ctx](const Request& request) {
        return handle_request(request, ctx);
    };

    for (;;) {
        // 1. A stop signal ends the session.
        if (stopped.load(std::memory_order_acquire)) return;

        // 2. Heartbeat lapse.
        if (now() - last_heartbeat >= kHeartbeatLapse && active) {
            if (!daemon_mode) return;
            if (auto r = controller.restore()) {
                active = false;
            } else {
                controller.notice = r.error().message;
            }
        }

        // 3. Safety check about once a second, only while something is or may be manual.
        if (now() - last_safety_check >= kSafetyCheckPeriod) {
            if (active || !controller.controlled.empty() || controller.ftst_engaged) {
                if (auto r = controller.check_safety(); !r) controller.notice = r.error().message;
            }
            last_safety_check = now();
        }

        // 4. At most one connection.
        server.next(uid, code_hash, handler);

        // 5. A quit in serve mode ends the session once its reply is out.
        if (quit_requested) return;
    }
}
