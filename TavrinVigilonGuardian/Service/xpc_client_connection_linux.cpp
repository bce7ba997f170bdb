#include "Service/xpc_client_connection.hpp"

#include "Engine/wake_ipc_contract.hpp"
#include "sys/peer_identity.hpp"
#include "sys/trusted_file.hpp"
#include "sys/unique_fd.hpp"
#include "Service/xpc_endpoint.hpp"
#include "Service/xpc_socket_linux.hpp"
#include "Service/xpc_wire.hpp"

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

struct Call {
    XPCRequest request;
    TavrinWakeReply reply;
    std::function<void(const XPCError&)> errorHandler;
};

const char* const kBrokenTransport = "The service sent a message that could not be read.";
const char* const kInvalidConnection = "The connection to the service is invalid.";

}  // namespace

struct XPCClientConnection::Channel : std::enable_shared_from_this<Channel> {
    Channel(std::string path, std::uint64_t flags) : socketPath(std::move(path)), options(flags) {}

    const std::string socketPath;
    const std::uint64_t options;

    std::mutex mutex;  // guards everything below
    std::condition_variable callsWaiting;
    std::string requirement;
    XPCInterface remoteInterface;
    std::function<void()> invalidationHandler;
    std::function<void()> interruptionHandler;
    bool resumed = false;
    bool invalidated = false;
    std::deque<Call> calls;
    int liveSocket = -1;  // the socket in use, so that invalidate can wake a waiting read

    // The thread that reaches the service and carries the calls, from resume until it has seen
    // the invalidation. Whoever ends the connection from outside waits for it.
    std::mutex workerMutex;
    std::thread worker;
    std::atomic<std::thread::id> workerId;

    void awaitWorker();
    void releaseWorker();

    void enqueue(Call call);
    void invalidate();
    void run();
    UniqueFd establish(std::string& pending);
    bool publish(const UniqueFd& socket);
    void drop(UniqueFd& socket);
    bool stillValid();
};

namespace {

class RemoteProxy final : public TavrinWakeControl {
public:
    RemoteProxy(std::shared_ptr<XPCClientConnection::Channel> channel, std::function<void(const XPCError&)> handler)
        : channel_(std::move(channel)), errorHandler_(std::move(handler)) {}

    void perform(const std::string& request, std::int64_t minutes, std::int64_t thermalLimit,
                 TavrinWakeReply reply) override {
        channel_->enqueue(Call{XPCRequest{request, minutes, thermalLimit}, std::move(reply), errorHandler_});
    }

private:
    std::shared_ptr<XPCClientConnection::Channel> channel_;
    std::function<void(const XPCError&)> errorHandler_;
};

}  // namespace

void XPCClientConnection::Channel::enqueue(Call call) {
    {
        const std::lock_guard lock(mutex);
        if (!invalidated) {
            calls.push_back(std::move(call));
            callsWaiting.notify_one();
            return;
        }
    }
    if (call.errorHandler) call.errorHandler(XPCError(kInvalidConnection));
}

void XPCClientConnection::Channel::invalidate() {
    std::function<void()> handler;
    std::deque<Call> dropped;
    {
        const std::lock_guard lock(mutex);
        if (invalidated) return;
        invalidated = true;
        handler = std::move(invalidationHandler);
        invalidationHandler = nullptr;
        interruptionHandler = nullptr;
        dropped.swap(calls);
        if (liveSocket >= 0) ::shutdown(liveSocket, SHUT_RDWR);
        callsWaiting.notify_all();
    }
    // Run outside the lock: the handler may well call back into this connection.
    if (handler) handler();
}

bool XPCClientConnection::Channel::publish(const UniqueFd& socket) {
    const std::lock_guard lock(mutex);
    if (invalidated) return false;
    liveSocket = socket.get();
    return true;
}

void XPCClientConnection::Channel::drop(UniqueFd& socket) {
    const std::lock_guard lock(mutex);
    if (liveSocket == socket.get()) liveSocket = -1;
    socket.reset();
}

bool XPCClientConnection::Channel::stillValid() {
    const std::lock_guard lock(mutex);
    return !invalidated;
}

// Reaches the service and makes sure it is the one asked for; an empty guard when it is not.
UniqueFd XPCClientConnection::Channel::establish(std::string& pending) {
    const bool privileged = (options & XPCConnectionPrivileged) != 0;
    std::string pinned;
    {
        const std::lock_guard lock(mutex);
        pinned = requirement;
    }

    // A system daemon's endpoint is one only root can have put in place.
    if (privileged && !trusted_socket(socketPath)) return {};
    UniqueFd socket = connectTo(socketPath);
    if (!socket || !publish(socket)) return {};
    const auto refuse = [&] {
        drop(socket);
        return UniqueFd();
    };

    // ... and it runs as root.
    if (privileged && peer_effective_uid(socket.get()) != std::uint32_t{0}) return refuse();

    // A server that lets us in says so first; one that refuses closes without a word.
    std::string line;
    pending.clear();
    if (readLine(socket.get(), pending, line) != LineEnd::line) return refuse();
    const auto announced = decodeAnnouncement(line);
    if (!announced) return refuse();

    // Its code must be the pinned code: as announced, and as the kernel sees the process.
    // Only a root server may keep its executable out of our sight, and root has been checked.
    if (!pinned.empty()) {
        if (!WakeIPCContract::validHash(*announced) || WakeIPCContract::requirement(*announced) != pinned) {
            return refuse();
        }
        const PeerCode running = peer_code(socket.get(), pinned);
        const bool vouched = running == PeerCode::satisfies || (running == PeerCode::unreadable && privileged);
        if (!vouched) return refuse();
    }
    return socket;
}

void XPCClientConnection::Channel::run() {
    UniqueFd socket;
    std::string pending;
    for (;;) {
        Call call;
        {
            std::unique_lock lock(mutex);
            callsWaiting.wait(lock, [&] { return invalidated || !calls.empty(); });
            if (invalidated) break;
            call = std::move(calls.front());
            calls.pop_front();
        }

        if (!socket) {
            socket = establish(pending);
            if (!socket) {
                invalidate();
                break;
            }
        }

        std::string line;
        const bool sent = writeLine(socket.get(), encodeRequest(call.request));
        const LineEnd status = sent ? readLine(socket.get(), pending, line) : LineEnd::closed;
        const auto reply = status == LineEnd::line ? decodeReply(line) : std::nullopt;
        if (!reply) drop(socket);
        if (!stillValid()) break;

        if (reply) {
            if (call.reply) call.reply(reply->ok, reply->message);
        } else if (status == LineEnd::closed) {
            std::function<void()> handler;
            {
                const std::lock_guard lock(mutex);
                handler = interruptionHandler;
            }
            if (handler) handler();
        } else if (call.errorHandler) {
            call.errorHandler(XPCError(kBrokenTransport));
        }
    }
    if (socket) drop(socket);
}

XPCClientConnection::XPCClientConnection(const std::string& machServiceName, std::uint64_t options)
    : XPCClientConnection(machServiceName, options, xpcServiceSocketPath(machServiceName)) {}

XPCClientConnection::XPCClientConnection(const std::string&, std::uint64_t options, const std::string& socketPath)
    : channel_(std::make_shared<Channel>(socketPath, options)) {}

void XPCClientConnection::Channel::awaitWorker() {
    // A handler or reply running on the worker cannot wait for itself.
    if (workerId.load() == std::this_thread::get_id()) return;
    const std::lock_guard lock(workerMutex);
    if (worker.joinable()) worker.join();
}

void XPCClientConnection::Channel::releaseWorker() {
    awaitWorker();
    // The last owner of the connection may be a reply running on the worker itself: it is then
    // on its way out, and its own reference keeps the channel alive until it has left.
    const std::lock_guard lock(workerMutex);
    if (worker.joinable()) worker.detach();
}

XPCClientConnection::~XPCClientConnection() {
    channel_->invalidate();
    channel_->releaseWorker();
}

void XPCClientConnection::setCodeSigningRequirement(std::string requirement) {
    const std::lock_guard lock(channel_->mutex);
    channel_->requirement = std::move(requirement);
}

void XPCClientConnection::setRemoteObjectInterface(XPCInterface interface) {
    const std::lock_guard lock(channel_->mutex);
    channel_->remoteInterface = std::move(interface);
}

void XPCClientConnection::setInvalidationHandler(std::function<void()> handler) {
    const std::lock_guard lock(channel_->mutex);
    if (!channel_->invalidated) channel_->invalidationHandler = std::move(handler);
}

void XPCClientConnection::setInterruptionHandler(std::function<void()> handler) {
    const std::lock_guard lock(channel_->mutex);
    if (!channel_->invalidated) channel_->interruptionHandler = std::move(handler);
}

void XPCClientConnection::resume() {
    {
        const std::lock_guard lock(channel_->mutex);
        if (channel_->resumed || channel_->invalidated) return;
        channel_->resumed = true;
    }
    const std::lock_guard lock(channel_->workerMutex);
    // The worker records itself before it runs anything: a handler of its own that ends the
    // connection at once must already see that it is on the worker, not wait to join itself.
    channel_->worker = std::thread([channel = channel_] {
        channel->workerId = std::this_thread::get_id();
        channel->run();
    });
}

std::shared_ptr<TavrinWakeControl> XPCClientConnection::remoteObjectProxyWithErrorHandler(
    std::function<void(const XPCError&)> handler) {
    {
        const std::lock_guard lock(channel_->mutex);
        if (channel_->remoteInterface != tavrinWakeControlInterface()) return nullptr;
    }
    return std::make_shared<RemoteProxy>(channel_, std::move(handler));
}

void XPCClientConnection::invalidate() {
    channel_->invalidate();
    channel_->awaitWorker();
}
