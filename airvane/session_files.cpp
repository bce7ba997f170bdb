#include "session_files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

Cleanup::Cleanup(std::string socket_path, std::string directory, UniqueFd lock)
    : socket_path_(std::move(socket_path)), directory_(std::move(directory)), lock_(std::move(lock)) {}

Cleanup::~Cleanup() {
    unlink(socket_path_.c_str());
    rmdir(directory_.c_str());
    lock_.reset();
}
