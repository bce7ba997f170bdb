#pragma once

#include "Service/xpc_client_connection.hpp"

#include <exception>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// The outcome of one request to the guardian: its success message, or the error to raise.
using WakeIPCResult = std::expected<std::string, std::exception_ptr>;

// One request's completion, shared by every callback that might deliver its outcome: the reply,
// the connection's handlers, the proxy's error handler and the time-out. Only the first finish
// counts; it invalidates the connection before handing the outcome on, so that the connection's
// own invalidation handler then finds nothing left to deliver. Hold it in a shared_ptr.
class WakeIPCReply {
public:
    WakeIPCReply(std::shared_ptr<XPCClientConnection> connection, std::function<void(WakeIPCResult)> completion);

    // Safe from any thread, any number of times.
    void finish(WakeIPCResult result);

private:
    std::mutex lock_;
    std::optional<std::function<void(WakeIPCResult)>> completion_;
    const std::shared_ptr<XPCClientConnection> connection_;
};

// The error result carrying a WakeIPCError with this message.
WakeIPCResult wakeIPCFailure(std::string message);
