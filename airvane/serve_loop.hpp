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

// The serve loop's own state and one pass of it, apart from the loop itself so that a test can
// drive it pass by pass and look at the session in between. Holds references into itself, so
// it stays where it was made.
template <typename Controller, typename Server>
class ServeLoop {
public:
    ServeLoop(Server& server, std::uint32_t uid, const std::optional<std::string>& code_hash, Controller& controller,
              bool daemon_mode, const std::atomic<bool>& stopped, const std::function<double()>& now)
        : last_heartbeat(now()),
          active(!daemon_mode),
          server_(server),
          uid_(uid),
          code_hash_(code_hash),
          controller_(controller),
          daemon_mode_(daemon_mode),
          stopped_(stopped),
          now_(now),
          ctx_{last_heartbeat, active, controller, quit_requested, daemon_mode, now},
          handler_([this](const Request& request) { return handle_request(request, ctx_); }) {}
    ServeLoop(const ServeLoop&) = delete;
    ServeLoop& operator=(const ServeLoop&) = delete;

    // One pass; false once the session has ended.
    bool pass() {
        // A stop signal ends the session.
        if (stopped_.load(std::memory_order_acquire)) return false;

        // Heartbeat lapse: a serve session ends; the daemon hands the fans back and waits for
        // the next client, trying again on every pass until the restore is confirmed.
        if (now_() - last_heartbeat >= kHeartbeatLapse && active) {
            if (!daemon_mode_) return false;
            if (auto r = controller_.restore()) {
                active = false;
            } else {
                controller_.notice = r.error().message;
            }
        }

        // Safety check about once a second, only while something is or may be manual.
        if (now_() - last_safety_check >= kSafetyCheckPeriod) {
            if (active || !controller_.controlled.empty() || controller_.ftst_engaged) {
                if (auto r = controller_.check_safety(); !r) controller_.notice = r.error().message;
            }
            last_safety_check = now_();
        }

        // At most one connection.
        server_.next(uid_, code_hash_, handler_);

        // A quit in serve mode ends the session once its reply is out.
        return !quit_requested;
    }

    double last_heartbeat;
    bool active;
    bool quit_requested = false;
    // Zero, so that the first pass always reaches the safety check.
    double last_safety_check = 0.0;

private:
    Server& server_;
    const std::uint32_t uid_;
    const std::optional<std::string>& code_hash_;
    Controller& controller_;
    const bool daemon_mode_;
    const std::atomic<bool>& stopped_;
    const std::function<double()>& now_;
    SessionContext<Controller> ctx_;
    const std::function<Reply(const Request&)> handler_;
};

// Runs the session until a quit (serve mode), a lapsed heartbeat (serve mode) or a stop
// signal. `server.next(uid, code_hash, handler)` serves at most one connection and waits at
// most about half a second for one; the teardown afterwards belongs to the caller.
template <typename Controller, typename Server>
void serve_loop(Server& server, std::uint32_t uid, const std::optional<std::string>& code_hash, Controller& controller,
                bool daemon_mode, const std::atomic<bool>& stopped, const std::function<double()>& now) {
    ServeLoop<Controller, Server> loop(server, uid, code_hash, controller, daemon_mode, stopped, now);
    while (loop.pass()) {
    }
}
