#include "path_trust.hpp"

#include "Shared/wake_ipc_contract.hpp"
#include "guardian_error.hpp"

void trustedPath(const std::string& path, bool directory) {
    if (WakeIPCContract::trustedFile(path, directory)) return;
    throw GuardianError("Unsafe ownership or permissions: " + path);
}
