#include "Service/wake_ipc_reply.hpp"

#include "Engine/wake_ipc_error.hpp"

#include <utility>

WakeIPCReply::WakeIPCReply(std::shared_ptr<XPCClientConnection> connection,
                           std::function<void(WakeIPCResult)> completion)
    : completion_(std::move(completion)), connection_(std::move(connection)) {}

void WakeIPCReply::finish(WakeIPCResult result) {
    // Take the completion out, leaving none.
    std::optional<std::function<void(WakeIPCResult)>> completion;
    {
        const std::lock_guard guard(lock_);
        completion.swap(completion_);
    }
    // An outcome was delivered already.
    if (!completion) return;
    // The connection goes first, so its invalidation handler runs into a finished reply.
    if (connection_) connection_->invalidate();
    // The outcome.
    if (*completion) (*completion)(std::move(result));
}

WakeIPCResult wakeIPCFailure(std::string message) {
    return std::unexpected(std::make_exception_ptr(WakeIPCError(std::move(message))));
}
