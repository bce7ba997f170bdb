#pragma once

#include "Service/tavrin_wake_control.hpp"

#include <cstdint>
#include <memory>
#include <string>

// A connection as the service sees it: handed to the listener's delegate, which decides whether
// to let the peer in, and current while one of the peer's calls is being delivered.
class XPCServerConnection : public std::enable_shared_from_this<XPCServerConnection> {
public:
    struct Transport;  // the platform's side: the channel to the peer

    explicit XPCServerConnection(std::unique_ptr<Transport> transport);
    ~XPCServerConnection();
    XPCServerConnection(const XPCServerConnection&) = delete;
    XPCServerConnection& operator=(const XPCServerConnection&) = delete;

    // The peer's effective user id, as it was when it connected.
    std::uint32_t effectiveUserIdentifier() const;

    // Calls are delivered only if the peer's code satisfies this requirement; a peer that fails
    // it is dropped without ever reaching the exported object.
    void setCodeSigningRequirement(std::string requirement);
    void setExportedInterface(XPCInterface interface);
    void setExportedObject(std::shared_ptr<TavrinWakeControl> object);
    // Lets calls in. The delegate must resume a connection it accepts.
    void resume();
    // Ends the connection; replies still to come are dropped. Safe from any thread, repeatable.
    void invalidate();

    // The connection whose call the current thread is delivering; empty outside a call.
    static std::shared_ptr<XPCServerConnection> currentConnection();

    Transport& transport() { return *transport_; }

private:
    std::unique_ptr<Transport> transport_;
};
