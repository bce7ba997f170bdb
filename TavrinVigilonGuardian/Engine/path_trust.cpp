#include "Engine/path_trust.hpp"

#include "Engine/wake_ipc_contract.hpp"
#include "Engine/guardian_error.hpp"

void trustedPath(const std::string& path, bool directory) {
    if (WakeIPCContract::trustedFile(path, directory)) return;
    throw GuardianError("Unsafe ownership or permissions: " + path);
}
