#include "Daemon/listener_delegate.hpp"

#include "Service/xpc_server_connection.hpp"
#include "Daemon/control.hpp"

#include <utility>

ListenerDelegate::ListenerDelegate(WakeHelperInstallation record, std::string codeRequirement,
                                   std::string installLockPath)
    : installation(std::move(record)),
      requirement(std::move(codeRequirement)),
      installLockPath_(std::move(installLockPath)) {}

bool ListenerDelegate::mayAcceptUser(std::uint32_t effectiveUserIdentifier) const {
    return WakeIPCContract::acceptsPeer(effectiveUserIdentifier, installation.ownerUID);
}

bool ListenerDelegate::shouldAcceptNewConnection(XPCListener&, const std::shared_ptr<XPCServerConnection>& connection) {
    // Another user (root included) is turned away with nothing set on its connection.
    if (!mayAcceptUser(connection->effectiveUserIdentifier())) return false;

    // The owner's process still has to be the registered front end before a call gets in.
    connection->setCodeSigningRequirement(requirement);
    connection->setExportedInterface(tavrinWakeControlInterface());
    connection->setExportedObject(std::make_shared<Control>(installation.ownerUID, installLockPath_));
    connection->resume();
    return true;
}
