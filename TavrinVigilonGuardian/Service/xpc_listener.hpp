#pragma once

#include <cstdint>
#include <memory>
#include <string>

class XPCListener;
class XPCServerConnection;

// Asked once per new connection, on a thread of the listener's; answering false refuses the
// peer, which then learns nothing (its connection is closed before a single byte is sent).
class XPCListenerDelegate {
public:
    virtual ~XPCListenerDelegate() = default;
    virtual bool shouldAcceptNewConnection(XPCListener& listener,
                                           const std::shared_ptr<XPCServerConnection>& connection) = 0;

    // Asked where a listener accepts its peers itself (the Linux endpoint), before a new peer
    // costs anything: a thread, a place among the connections it serves, a look at its code.
    // It gets nothing but the peer's effective user id and must answer at once from what the
    // delegate was built with; false turns the peer away there and then, true still leaves the
    // decision to shouldAcceptNewConnection.
    virtual bool mayAcceptUser(std::uint32_t effectiveUserIdentifier) const {
        (void)effectiveUserIdentifier;
        return true;
    }
};

// A system service's endpoint, opened by the daemon that offers it.
class XPCListener {
public:
    struct Endpoint;  // the platform's side

    // The endpoint of the named service (xpcServiceSocketPath on Linux). Throws WakeIPCError
    // when the endpoint cannot be opened or this program's own code cannot be identified.
    explicit XPCListener(const std::string& machServiceName);
    // The same at another socket path: for tests and the simulated machine.
    XPCListener(const std::string& machServiceName, const std::string& socketPath);
    ~XPCListener();
    XPCListener(const XPCListener&) = delete;
    XPCListener& operator=(const XPCListener&) = delete;

    // Peers whose code fails it are turned away before a byte reaches them, whatever the
    // delegate said.
    void setConnectionCodeSigningRequirement(std::string requirement);
    void setDelegate(std::shared_ptr<XPCListenerDelegate> delegate);
    // Starts accepting; until then connecting peers wait. Set the requirement and the delegate
    // first: they are not changed while the listener runs.
    void resume();
    // No connection is let in after this, and the endpoint is gone; the connections already let
    // in are left as they are, and none of them is waited for. Not to be called from the
    // delegate or a call.
    void stopAccepting();
    // Stops accepting, removes the endpoint and ends every connection it let in, returning once
    // nothing of the listener runs any more. Not to be called from the delegate or a call.
    void invalidate();

private:
    std::unique_ptr<Endpoint> endpoint_;
};
