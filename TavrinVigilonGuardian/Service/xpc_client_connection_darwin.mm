#include "Service/xpc_client_connection.hpp"

#include "Service/xpc_darwin.hpp"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

// The platform connection and what the caller set on it. The platform calls back on its own
// threads holding only a weak reference, so a channel never keeps itself alive through the
// platform; the caller's handlers, which may well hold the connection, are released as soon as
// it is invalidated.
struct XPCClientConnection::Channel : std::enable_shared_from_this<Channel> {
    explicit Channel(NSXPCConnection* platformConnection) : connection(platformConnection) {}

    NSXPCConnection* const connection;

    std::mutex mutex;  // guards everything below
    std::condition_variable idle;
    XPCInterface remoteInterface;
    std::function<void()> invalidationHandler;
    std::function<void()> interruptionHandler;
    bool resumed = false;
    bool invalidated = false;
    int callbacksRunning = 0;  // the caller's handlers and replies under way on platform threads

    void watchPlatform();
    void send(const std::string& request, std::int64_t minutes, std::int64_t thermalLimit, TavrinWakeReply reply,
              const std::function<void(const XPCError&)>& onError);
    void invalidate();
    void endedByPlatform();
    void interrupted();
    template <typename Work>
    void deliver(Work&& work);
    bool markInvalidated(std::function<void()>& handler);
    void awaitCallbacks();
};

namespace {

// The channel whose callback this thread is running, if any: invalidating it from there must not
// wait for the callback itself.
thread_local const XPCClientConnection::Channel* servingChannel = nullptr;

// One of the caller's callbacks, counted from before it starts (under the channel's lock) until
// it has returned.
class Callback {
public:
    explicit Callback(XPCClientConnection::Channel& channel)
        : channel_(channel), previous_(std::exchange(servingChannel, &channel)) {}
    ~Callback() {
        servingChannel = previous_;
        const std::lock_guard lock(channel_.mutex);
        if (--channel_.callbacksRunning == 0) channel_.idle.notify_all();
    }
    Callback(const Callback&) = delete;
    Callback& operator=(const Callback&) = delete;

private:
    XPCClientConnection::Channel& channel_;
    const XPCClientConnection::Channel* const previous_;
};

// The platform answers a call that was pending when the service went away, or when the
// connection was invalidated, with one of these errors before it runs the connection's own
// handler. That handler reports the event; the call itself is dropped, as XPCClientConnection
// promises.
bool endsWithTheConnection(NSError* error) {
    return [error.domain isEqualToString:NSCocoaErrorDomain] &&
           (error.code == NSXPCConnectionInterrupted || error.code == NSXPCConnectionInvalid);
}

XPCError platformError(NSError* error) { return XPCError(stdStringFrom(error.localizedDescription)); }

class RemoteProxy final : public TavrinWakeControl {
public:
    RemoteProxy(std::shared_ptr<XPCClientConnection::Channel> channel, std::function<void(const XPCError&)> handler)
        : channel_(std::move(channel)), errorHandler_(std::move(handler)) {}

    void perform(const std::string& request, std::int64_t minutes, std::int64_t thermalLimit,
                 TavrinWakeReply reply) override {
        channel_->send(request, minutes, thermalLimit, std::move(reply), errorHandler_);
    }

private:
    std::shared_ptr<XPCClientConnection::Channel> channel_;
    std::function<void(const XPCError&)> errorHandler_;
};

}  // namespace

void XPCClientConnection::Channel::watchPlatform() {
    const std::weak_ptr<Channel> weak = weak_from_this();
    connection.invalidationHandler = ^{
      if (const auto channel = weak.lock()) channel->endedByPlatform();
    };
    connection.interruptionHandler = ^{
      if (const auto channel = weak.lock()) channel->interrupted();
    };
}

// Each call gets a proxy of its own, so that its error handler knows whether the call was made
// on a connection already invalidated: such a call gets the platform's error, as
// XPCClientConnection promises, while a call the invalidation overtook is dropped.
void XPCClientConnection::Channel::send(const std::string& request, std::int64_t minutes, std::int64_t thermalLimit,
                                        TavrinWakeReply reply, const std::function<void(const XPCError&)>& onError) {
    bool late = false;
    {
        const std::lock_guard lock(mutex);
        late = invalidated;
    }
    const std::weak_ptr<Channel> weak = weak_from_this();
    const std::function<void(const XPCError&)> handler = onError;
    id<TavrinWakeControl> proxy = [connection remoteObjectProxyWithErrorHandler:^(NSError* error) {
      if (!handler) return;
      if (late) {
          handler(platformError(error));
          return;
      }
      if (endsWithTheConnection(error)) return;
      if (const auto channel = weak.lock()) {
          channel->deliver([&] { handler(platformError(error)); });
      }
    }];
    [proxy perform:nsStringFrom(request)
             minutes:minutes
        thermalLimit:thermalLimit
               reply:^(BOOL success, NSString* message) {
                 if (!reply) return;
                 if (const auto channel = weak.lock()) {
                     channel->deliver([&] { reply(success, stdStringFrom(message)); });
                 }
               }];
}

// A callback that comes after the invalidation is dropped; one that has started is waited for by
// whoever invalidates from outside.
template <typename Work>
void XPCClientConnection::Channel::deliver(Work&& work) {
    {
        const std::lock_guard lock(mutex);
        if (invalidated) return;
        ++callbacksRunning;
    }
    const Callback running(*this);
    work();
}

// True for the first invalidation, with the invalidation handler to run. The handlers are let go
// either way: they may hold this connection.
bool XPCClientConnection::Channel::markInvalidated(std::function<void()>& handler) {
    const std::lock_guard lock(mutex);
    if (invalidated) return false;
    invalidated = true;
    handler = std::exchange(invalidationHandler, nullptr);
    interruptionHandler = nullptr;
    return true;
}

void XPCClientConnection::Channel::awaitCallbacks() {
    if (servingChannel == this) return;
    std::unique_lock lock(mutex);
    idle.wait(lock, [this] { return callbacksRunning == 0; });
}

// The platform runs its invalidation handler last, once the connection cannot be formed or has
// ended, or after invalidate. In the last case the handler already ran on the invalidating thread.
void XPCClientConnection::Channel::endedByPlatform() {
    {
        const std::lock_guard lock(mutex);
        ++callbacksRunning;
    }
    const Callback running(*this);
    std::function<void()> handler;
    if (markInvalidated(handler) && handler) handler();
}

// The service went away after letting the connection in; the platform has already answered the
// pending call with an error, which was dropped.
void XPCClientConnection::Channel::interrupted() {
    std::function<void()> handler;
    {
        const std::lock_guard lock(mutex);
        if (invalidated) return;
        handler = interruptionHandler;
        ++callbacksRunning;
    }
    const Callback running(*this);
    if (handler) handler();
}

// As on Linux, the invalidation handler runs on the invalidating thread, before this returns.
// The platform's own invalidation is asynchronous; what it still delivers afterwards is dropped
// by the channel, and a callback already under way is waited for.
void XPCClientConnection::Channel::invalidate() {
    std::function<void()> handler;
    if (markInvalidated(handler)) {
        [connection invalidate];
        if (handler) handler();
    }
    awaitCallbacks();
}

// Only the privileged option means anything here: it looks the service up among the system's
// daemons, where only root can register one. The socket path is the Linux stand-in's; a mach
// service has none.
XPCClientConnection::XPCClientConnection(const std::string& machServiceName, std::uint64_t options) {
    NSXPCConnectionOptions platformOptions = 0;
    if ((options & XPCConnectionPrivileged) != 0) platformOptions |= NSXPCConnectionPrivileged;
    NSXPCConnection* const connection = [[NSXPCConnection alloc] initWithMachServiceName:nsStringFrom(machServiceName)
                                                                                 options:platformOptions];
    channel_ = std::make_shared<Channel>(connection);
    channel_->watchPlatform();
}

XPCClientConnection::XPCClientConnection(const std::string& machServiceName, std::uint64_t options, const std::string&)
    : XPCClientConnection(machServiceName, options) {}

XPCClientConnection::~XPCClientConnection() { channel_->invalidate(); }

// An empty text stands for no requirement, as on Linux; the platform would reject it as
// malformed.
void XPCClientConnection::setCodeSigningRequirement(std::string requirement) {
    if (requirement.empty()) return;
    [channel_->connection setCodeSigningRequirement:nsStringFrom(requirement)];
}

// Only the guardian's protocol exists on this side; for any other interface no proxy is offered.
void XPCClientConnection::setRemoteObjectInterface(XPCInterface interface) {
    const bool guardian = interface == tavrinWakeControlInterface();
    {
        const std::lock_guard lock(channel_->mutex);
        channel_->remoteInterface = std::move(interface);
    }
    channel_->connection.remoteObjectInterface =
        guardian ? [NSXPCInterface interfaceWithProtocol:@protocol(TavrinWakeControl)] : nil;
}

void XPCClientConnection::setInvalidationHandler(std::function<void()> handler) {
    const std::lock_guard lock(channel_->mutex);
    if (!channel_->invalidated) channel_->invalidationHandler = std::move(handler);
}

void XPCClientConnection::setInterruptionHandler(std::function<void()> handler) {
    const std::lock_guard lock(channel_->mutex);
    if (!channel_->invalidated) channel_->interruptionHandler = std::move(handler);
}

// The platform allows one resume; a connection that has ended is not started again.
void XPCClientConnection::resume() {
    {
        const std::lock_guard lock(channel_->mutex);
        if (channel_->resumed || channel_->invalidated) return;
        channel_->resumed = true;
    }
    [channel_->connection resume];
}

std::shared_ptr<TavrinWakeControl> XPCClientConnection::remoteObjectProxyWithErrorHandler(
    std::function<void(const XPCError&)> handler) {
    {
        const std::lock_guard lock(channel_->mutex);
        if (channel_->remoteInterface != tavrinWakeControlInterface()) return nullptr;
    }
    return std::make_shared<RemoteProxy>(channel_, std::move(handler));
}

void XPCClientConnection::invalidate() { channel_->invalidate(); }
