#include "Watcher/registration.hpp"

#include "Watcher/wake_helper_installation.hpp"
#include "Engine/wake_ipc_contract.hpp"
#include "Engine/atomic_write.hpp"
#include "Watcher/ensure_watcher.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_lock.hpp"
#include "Watcher/launch_control.hpp"
#include "Watcher/launch_recovery.hpp"
#include "Engine/path_trust.hpp"

void registerHelper(std::uint32_t ownerUID, const std::string& clientHash) {
    auto& context = guardianContext();

    trustedPath(context.helperPath, false);
    trustedPath(context.daemonPath, false);

    withGuardianLock([] { recoverForRegistration(); });

    // The old daemon goes before the record changes, so a daemon never serves a record it did
    // not start with.
    const bool loaded = daemonIsLoaded();

    if (loaded) bootoutDaemon();

    const std::string helperHash = context.system.ownCodeHash();

    const WakeHelperInstallation installation{
        .protocolVersion = WakeIPCContract::version,
        .ownerUID = ownerUID,
        .clientHash = clientHash,
        .helperHash = helperHash,
    };

    atomicWrite(installation, context.installationPath, true);

    ensureWatcher();
}
