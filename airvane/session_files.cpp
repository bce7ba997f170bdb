#include "session_files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "manual_record.hpp"
#include "sys/trusted_file.hpp"

FanResult<UniqueFd> acquire_instance_lock(const char* path) {
    UniqueFd lock(open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock) return fan_error(kLockFileFailed);

    struct stat st {};
    if (fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
        flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return fan_error(kSessionBusy);  // the guard closes the descriptor
    }
    return lock;
}

std::string session_directory_of(const std::string& socket_path) {
    const auto slash = socket_path.rfind('/');
    return slash == std::string::npos ? std::string() : socket_path.substr(0, slash);
}

FanResult<void> create_session_directory(const std::string& dir, bool daemon_mode) {
    if (mkdir(dir.c_str(), 0711) == 0) return {};
    if (daemon_mode && errno == EEXIST) {
        struct stat st {};
        if (lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
            (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
            return {};
        }
    }
    return fan_error(kSessionDirFailed);
}

void remove_dead_session_directory(const std::string& dir) {
    if (!is_helper_session_directory(dir)) return;
    const FileTrust rule{.kind = FileTrust::Kind::directory, .owner = 0, .forbidden = S_IWGRP | S_IWOTH};
    const auto opened = open_trusted(dir, rule);
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
