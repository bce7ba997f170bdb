#include "Service/xpc_listener.hpp"

#include "Service/xpc_darwin.hpp"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

// What the platform's threads reach from the listener: the delegate, and the connections it let
// in, each kept until the platform reports it ended or the listener is invalidated.
struct XPCListener::Endpoint {
    struct Admission : std::enable_shared_from_this<Admission> {
        XPCListener* owner = nullptr;
        std::mutex mutex;  // guards everything below
        std::condition_variable judged;
        std::shared_ptr<XPCListenerDelegate> delegate;
        bool closed = false;
        int judging = 0;  // delegate calls under way
        std::unordered_map<const void*, std::shared_ptr<XPCServerConnection>> admitted;

        bool admit(NSXPCConnection* incoming);
        void forget(const void* key);
        std::vector<std::shared_ptr<XPCServerConnection>> close();
    };

    NSXPCListener* listener = nil;
    id<NSXPCListenerDelegate> forwarder = nil;  // the platform holds its delegate weakly
    std::shared_ptr<Admission> admission = std::make_shared<Admission>();
    bool resumed = false;
    bool stoppedAccepting = false;
    bool invalidated = false;
};

// The listener's delegate as the platform sees it.
@interface TavrinListenerDelegateForwarder : NSObject <NSXPCListenerDelegate>
- (instancetype)initWithAdmission:(std::shared_ptr<XPCListener::Endpoint::Admission>)admission;
@end

@implementation TavrinListenerDelegateForwarder {
    std::shared_ptr<XPCListener::Endpoint::Admission> _admission;
}

- (instancetype)initWithAdmission:(std::shared_ptr<XPCListener::Endpoint::Admission>)admission {
    self = [super init];
    if (self) _admission = std::move(admission);
    return self;
}

- (BOOL)listener:(NSXPCListener*)listener shouldAcceptNewConnection:(NSXPCConnection*)newConnection {
    (void)listener;
    return _admission->admit(newConnection);
}

@end

namespace {

// Counts one delegate call for as long as it runs, so that invalidate can wait for it.
class Judging {
public:
    explicit Judging(XPCListener::Endpoint::Admission& admission) : admission_(admission) {}
    ~Judging() {
        const std::lock_guard lock(admission_.mutex);
        if (--admission_.judging == 0) admission_.judged.notify_all();
    }
    Judging(const Judging&) = delete;
    Judging& operator=(const Judging&) = delete;

private:
    XPCListener::Endpoint::Admission& admission_;
};

}  // namespace

// Runs on a platform thread once per new connection whose peer satisfied the listener's code
// requirement (the platform turns the others away before asking).
bool XPCListener::Endpoint::Admission::admit(NSXPCConnection* incoming) {
    std::shared_ptr<XPCListenerDelegate> judge;
    {
        const std::lock_guard lock(mutex);
        if (closed || !delegate) return false;
        judge = delegate;
        ++judging;
    }
    const Judging judgingCall(*this);

    // Recorded before the delegate can resume it, so that the platform's report of its end,
    // which may come as soon as it runs, always finds it here.
    const auto connection = adoptServerConnection(incoming);
    const void* const key = (__bridge const void*)incoming;
    {
        const std::lock_guard lock(mutex);
        admitted[key] = connection;
    }
    const std::weak_ptr<Admission> weakAdmission = weak_from_this();
    incoming.invalidationHandler = ^{
      if (const auto live = weakAdmission.lock()) live->forget(key);
    };

    bool accepted = false;
    try {
        accepted = judge->shouldAcceptNewConnection(*owner, connection);
    } catch (...) {
        accepted = false;
    }
    // A connection let in but never resumed would leave its peer waiting for nothing.
    accepted = accepted && connection->transport().resumed;
    {
        const std::lock_guard lock(mutex);
        if (accepted && !closed) return true;
        admitted.erase(key);
    }
    connection->invalidate();
    return false;
}

// The platform ended the connection: the peer left, failed the code requirement, or the
// connection was invalidated. The wrapper is released outside the lock, since releasing the last
// one lets the platform connection go.
void XPCListener::Endpoint::Admission::forget(const void* key) {
    std::shared_ptr<XPCServerConnection> ended;
    {
        const std::lock_guard lock(mutex);
        const auto found = admitted.find(key);
        if (found == admitted.end()) return;
        ended = std::move(found->second);
        admitted.erase(found);
    }
    ended->transport().invalidated = true;
}

// No delegate call starts after this, and none is still running when it returns.
std::vector<std::shared_ptr<XPCServerConnection>> XPCListener::Endpoint::Admission::close() {
    std::unique_lock lock(mutex);
    closed = true;
    judged.wait(lock, [this] { return judging == 0; });
    std::vector<std::shared_ptr<XPCServerConnection>> open;
    open.reserve(admitted.size());
    for (auto& [key, connection] : admitted) open.push_back(std::move(connection));
    admitted.clear();
    return open;
}

// launchd hands the daemon its mach service; no path exists on the Mac, so the socket path,
// which only the Linux stand-in needs, is ignored. The listener needs no identity of its own
// here: the client's requirement on this program's code is enforced by the platform.
XPCListener::XPCListener(const std::string& machServiceName) : endpoint_(std::make_unique<Endpoint>()) {
    endpoint_->admission->owner = this;
    endpoint_->listener = [[NSXPCListener alloc] initWithMachServiceName:nsStringFrom(machServiceName)];
    endpoint_->forwarder = [[TavrinListenerDelegateForwarder alloc] initWithAdmission:endpoint_->admission];
    endpoint_->listener.delegate = endpoint_->forwarder;
}

XPCListener::XPCListener(const std::string& machServiceName, const std::string&) : XPCListener(machServiceName) {}

XPCListener::~XPCListener() { invalidate(); }

// An empty text stands for no requirement, as on Linux; the platform would reject it as
// malformed.
void XPCListener::setConnectionCodeSigningRequirement(std::string requirement) {
    if (requirement.empty()) return;
    [endpoint_->listener setConnectionCodeSigningRequirement:nsStringFrom(requirement)];
}

void XPCListener::setDelegate(std::shared_ptr<XPCListenerDelegate> delegate) {
    const std::lock_guard lock(endpoint_->admission->mutex);
    endpoint_->admission->delegate = std::move(delegate);
}

void XPCListener::resume() {
    if (endpoint_->stoppedAccepting || endpoint_->resumed) return;
    endpoint_->resumed = true;
    [endpoint_->listener resume];
}

// What can be promised here: no connection is let in after this, no delegate call is still
// running when it returns, and every connection the listener let in is invalidated, so the
// platform delivers no further call on it. What cannot: a call that the platform was already
// delivering on one of its threads may still be finishing, since the platform offers no way to
// wait for it; such a call reaches only its own exported object, which its connection keeps
// alive, and its reply is dropped.
void XPCListener::invalidate() {
    auto& endpoint = *endpoint_;
    if (endpoint.invalidated) return;
    endpoint.invalidated = true;
    stopAccepting();
    for (const auto& connection : endpoint.admission->close()) connection->invalidate();
}

// A delegate call the platform is already making is turned away rather than waited for.
void XPCListener::stopAccepting() {
    auto& endpoint = *endpoint_;
    if (endpoint.stoppedAccepting) return;
    endpoint.stoppedAccepting = true;
    [endpoint.listener invalidate];
    const std::lock_guard lock(endpoint.admission->mutex);
    endpoint.admission->closed = true;
}
