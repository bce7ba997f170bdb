#pragma once

#include "Service/tavrin_wake_control.hpp"
#include "Service/xpc_error.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Look the service up among the system's daemons: it must run as root, at an endpoint only root
// can have prepared.
inline constexpr std::uint64_t XPCConnectionPrivileged = 0x1000;

// The caller's connection to a system service. Nothing happens before resume; the service is
// reached with the first call, and calls go out one at a time, in order.
//
// What reaches the caller when things go wrong:
// - the invalidation handler, once: the service cannot be reached, refuses the connection,
//   fails the code requirement (or, when privileged, is not root), or invalidate is called,
//   whichever comes first. Calls not yet answered are then dropped.
// - the interruption handler: the service went away after letting the connection in, before it
//   answered; that call is dropped and the next one reaches the service anew.
// - a proxy's error handler: the transport broke (the service sent something that is not an
//   answer), or the call was made on an invalidated connection; it replaces that call's reply.
class XPCClientConnection {
public:
    struct Channel;  // the platform's side

    XPCClientConnection(const std::string& machServiceName, std::uint64_t options);
    // The same at another socket path: for tests and the simulated machine.
    XPCClientConnection(const std::string& machServiceName, std::uint64_t options, const std::string& socketPath);
    // Invalidates.
    ~XPCClientConnection();
    XPCClientConnection(const XPCClientConnection&) = delete;
    XPCClientConnection& operator=(const XPCClientConnection&) = delete;

    // The service is used only if its code satisfies this requirement.
    void setCodeSigningRequirement(std::string requirement);
    void setRemoteObjectInterface(XPCInterface interface);
    void setInvalidationHandler(std::function<void()> handler);
    void setInterruptionHandler(std::function<void()> handler);
    void resume();
    // A stand-in for the service's exported object, or nothing when the remote interface is not
    // the guardian's protocol.
    std::shared_ptr<TavrinWakeControl> remoteObjectProxyWithErrorHandler(std::function<void(const XPCError&)> handler);
    // Ends the connection and runs the invalidation handler unless it already ran. Safe from any
    // thread, also from inside a handler or a reply, and repeatable. Handlers are released.
    // Called from outside the connection's own handlers and replies, it returns only once the
    // connection has stopped working on the caller's behalf, so nothing of it outlives the call.
    void invalidate();

private:
    std::shared_ptr<Channel> channel_;
};
