#include "wake_ipc_contract.hpp"

#include <sys/stat.h>

namespace WakeIPCContract {

bool trustedFile(const std::string& path, bool directory) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return false;
    const bool rightType = directory ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
    return status.st_uid == 0 && (status.st_mode & 022) == 0 && rightType;
}

}  // namespace WakeIPCContract
