#pragma once

#include "Service/xpc_listener.hpp"
#include "Watcher/wake_helper_installation.hpp"
#include "Engine/wake_ipc_contract.hpp"

#include <memory>
#include <string>

// Decides who may talk to the guardian: only processes of the registered owner, and of those
// only the front end whose code matches the registered hash. Asked on the listener's thread; it
// reads nothing but what it was built with.
class ListenerDelegate final : public XPCListenerDelegate {
public:
    // `requirement` is the code requirement of `installation.clientHash`. `installLockPath` is
    // handed to every exported Control; other paths are for tests.
    ListenerDelegate(WakeHelperInstallation installation, std::string requirement,
                     std::string installLockPath = WakeIPCContract::operationLockPath);

    bool shouldAcceptNewConnection(XPCListener& listener,
                                   const std::shared_ptr<XPCServerConnection>& connection) override;
    // Only the registered owner's processes are worth a thread.
    bool mayAcceptUser(std::uint32_t effectiveUserIdentifier) const override;

    const WakeHelperInstallation installation;
    const std::string requirement;

private:
    const std::string installLockPath_;
};
