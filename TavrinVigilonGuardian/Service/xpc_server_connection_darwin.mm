#include "Service/xpc_server_connection.hpp"

#include "Service/xpc_darwin.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace {

// The wrapper of each live platform connection, keyed by the connection's address. An entry is
// added when the listener adopts a connection and removed when its wrapper's transport goes; the
// transport holds the connection until then, so no other connection can take that address while
// the entry exists. Never destroyed: platform threads may still ask while the process exits.
struct Wrappers {
    std::mutex mutex;
    std::unordered_map<const void*, std::weak_ptr<XPCServerConnection>> byConnection;
};

Wrappers& wrappers() {
    static auto* const all = new Wrappers;
    return *all;
}

const void* keyOf(NSXPCConnection* connection) { return (__bridge const void*)connection; }

}  // namespace

// The object the platform delivers a peer's calls to: it hands each call to the C++ object the
// delegate exported, with a reply that reaches the peer at most once.
@interface TavrinWakeControlExport : NSObject <TavrinWakeControl>
- (instancetype)initWithControl:(std::shared_ptr<TavrinWakeControl>)control;
@end

@implementation TavrinWakeControlExport {
    std::shared_ptr<TavrinWakeControl> _control;
}

- (instancetype)initWithControl:(std::shared_ptr<TavrinWakeControl>)control {
    self = [super init];
    if (self) _control = std::move(control);
    return self;
}

- (void)perform:(NSString*)request
         minutes:(int64_t)minutes
    thermalLimit:(int64_t)thermalLimit
           reply:(void (^)(BOOL success, NSString* message))reply {
    const auto answered = std::make_shared<std::atomic<bool>>(false);
    TavrinWakeReply once = [answered, reply](bool success, std::string message) {
        if (answered->exchange(true) || reply == nil) return;
        reply(success, nsStringFrom(message));
    };
    const std::shared_ptr<TavrinWakeControl> control = _control;
    try {
        control->perform(stdStringFrom(request), minutes, thermalLimit, std::move(once));
    } catch (...) {
        // A call that fails outright ends its connection, as on the local socket; nothing may be
        // thrown into the platform's dispatch.
        [[NSXPCConnection currentConnection] invalidate];
    }
}

@end

XPCServerConnection::Transport::~Transport() {
    {
        const std::lock_guard lock(wrappers().mutex);
        wrappers().byConnection.erase(keyOf(connection));
    }
    if (!invalidated.exchange(true)) [connection invalidate];
}

std::shared_ptr<XPCServerConnection> adoptServerConnection(NSXPCConnection* connection) {
    auto wrapper = std::make_shared<XPCServerConnection>(std::make_unique<XPCServerConnection::Transport>(connection));
    const std::lock_guard lock(wrappers().mutex);
    wrappers().byConnection[keyOf(connection)] = wrapper;
    return wrapper;
}

XPCServerConnection::XPCServerConnection(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {}

XPCServerConnection::~XPCServerConnection() = default;

// The platform records the peer's effective user id when the connection is made.
std::uint32_t XPCServerConnection::effectiveUserIdentifier() const {
    return static_cast<std::uint32_t>(transport_->connection.effectiveUserIdentifier);
}

// The platform checks the peer's code before it delivers anything. An empty text stands for no
// requirement, as on Linux; the platform would reject it as malformed.
void XPCServerConnection::setCodeSigningRequirement(std::string requirement) {
    if (requirement.empty()) return;
    [transport_->connection setCodeSigningRequirement:nsStringFrom(requirement)];
}

// Only the guardian's protocol exists on this side; any other interface exports nothing, so the
// platform refuses every call, as the local socket does.
void XPCServerConnection::setExportedInterface(XPCInterface interface) {
    transport_->connection.exportedInterface = interface == tavrinWakeControlInterface()
                                                   ? [NSXPCInterface interfaceWithProtocol:@protocol(TavrinWakeControl)]
                                                   : nil;
}

void XPCServerConnection::setExportedObject(std::shared_ptr<TavrinWakeControl> object) {
    transport_->connection.exportedObject =
        object ? [[TavrinWakeControlExport alloc] initWithControl:std::move(object)] : nil;
}

// The platform allows one resume; a connection that has ended is not started again.
void XPCServerConnection::resume() {
    if (transport_->invalidated || transport_->resumed.exchange(true)) return;
    [transport_->connection resume];
}

// Replies still to come are dropped by the platform: nothing goes out on an invalidated
// connection. The exported object is released with the connection, not here, because a call may
// still be running in it on a platform thread.
void XPCServerConnection::invalidate() {
    if (transport_->invalidated.exchange(true)) return;
    [transport_->connection invalidate];
}

// The platform names the connection that delivers the call on this thread; the wrapper handed to
// the listener's delegate for it is the one returned, so the two compare equal.
std::shared_ptr<XPCServerConnection> XPCServerConnection::currentConnection() {
    NSXPCConnection* const current = [NSXPCConnection currentConnection];
    if (current == nil) return nullptr;
    const std::lock_guard lock(wrappers().mutex);
    const auto found = wrappers().byConnection.find(keyOf(current));
    return found == wrappers().byConnection.end() ? nullptr : found->second.lock();
}
