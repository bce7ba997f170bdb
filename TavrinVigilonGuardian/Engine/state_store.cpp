#include "Engine/state_store.hpp"

#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "sys/trusted_file.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>

std::string readTrustedFile(const std::string& path) {
    auto bytes = read_trusted(path, FileTrust{}, recordSizeLimit);
    if (bytes) return std::move(*bytes);
    switch (bytes.error()) {
        case TrustFailure::missing:
        case TrustFailure::link:
        case TrustFailure::untrusted: throw GuardianError("Unsafe ownership or permissions: " + path);
        case TrustFailure::too_large: throw GuardianError("Cannot read " + path + ": larger than any record.");
        case TrustFailure::unreadable: break;
    }
    throw GuardianError("Cannot read " + path + ".");
}

bool pathExists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

std::optional<WakeGuardianState> readState() {
    const std::string& path = guardianContext().statePath;
    if (!pathExists(path)) return std::nullopt;
    const std::string bytes = readTrustedFile(path);
    auto state = decodeGuardianState(bytes);
    if (!state) throw GuardianError("Cannot decode " + path + ".");
    return state;
}

bool onReadOnlyFileSystem(const std::string& path) {
    struct statvfs volume {};
    return ::statvfs(path.c_str(), &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0;
}

bool markerExists() { return pathExists(guardianContext().markerPath); }
