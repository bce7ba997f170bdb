#include "session_files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "manual_record.hpp"
#include "sys/trusted_file.hpp"

FanResult<UniqueFd> acquire_instance_lock(const char* path) {
    // Only the root-owned regular file counts; its mode is not the point, its lock is.
    const FileTrust root_file{.kind = FileTrust::Kind::regular, .owner = 0, .forbidden = 0};
    auto lock = open_trusted(path, root_file, O_RDWR | O_CREAT, 0600);
    if (!lock && lock.error() != TrustFailure::untrusted) return fan_error(kLockFileFailed);
    if (!lock || flock(lock->get(), LOCK_EX | LOCK_NB) != 0) {
        return fan_error(kSessionBusy);  // the guard closes the descriptor
    }
    return std::move(*lock);
}

FanResult<void> create_session_directory(const std::string& dir, bool daemon_mode) {
    if (mkdir(dir.c_str(), 0711) == 0) return {};
    // The daemon's fixed directory may stay from an earlier run, if nobody else can have made it.
    const FileTrust root_directory{.kind = FileTrust::Kind::directory};
    if (daemon_mode && errno == EEXIST && open_trusted(dir, root_directory)) return {};
    return fan_error(kSessionDirFailed);
}

void remove_dead_session_directory(const std::string& dir) {
    if (!is_helper_session_directory(dir)) return;
    const auto opened = open_trusted(dir, FileTrust{.kind = FileTrust::Kind::directory});
    if (!opened) return;
    // Through the descriptor just judged, so a directory swapped in meanwhile is not the one
    // emptied.
    unlinkat(opened->get(), kSocketFileName, 0);
    rmdir(dir.c_str());
}

Cleanup::Cleanup(std::string socket_path, std::string directory)
    : socket_path_(std::move(socket_path)), directory_(std::move(directory)) {}

Cleanup::~Cleanup() {
    unlink(socket_path_.c_str());
    rmdir(directory_.c_str());
}
