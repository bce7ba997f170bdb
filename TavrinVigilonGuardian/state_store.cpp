#include "state_store.hpp"

#include "guardian_context.hpp"
#include "guardian_error.hpp"
#include "path_trust.hpp"
#include "sys/unique_fd.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string readTrustedFile(const std::string& path) {
    trustedPath(path, false);
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file) throw GuardianError("Cannot read " + path + ".");
    std::string bytes;
    char buffer[4096];
    while (true) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) throw GuardianError("Cannot read " + path + ".");
        if (count == 0) return bytes;
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
}

namespace {
bool pathExists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}
}  // namespace

std::optional<WakeGuardianState> readState() {
    const std::string& path = guardianContext().statePath;
    if (!pathExists(path)) return std::nullopt;
    const std::string bytes = readTrustedFile(path);
    auto state = decodeGuardianState(bytes);
    if (!state) throw GuardianError("Cannot decode " + path + ".");
    return state;
}

bool markerExists() { return pathExists(guardianContext().markerPath); }
