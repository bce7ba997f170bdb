#include "guardian_lock.hpp"

#include "guardian_context.hpp"
#include "guardian_error.hpp"
#include "sys/unique_fd.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

GuardianLockHold::GuardianLockHold() {
    auto& context = guardianContext();
    UniqueFd lock(::open(context.lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock) throw GuardianError("Cannot open guardian lock.");

    struct stat status {};
    const bool sound = ::fstat(lock.get(), &status) == 0 && status.st_uid == 0 && S_ISREG(status.st_mode) &&
                       (status.st_mode & 022) == 0;
    if (!sound) throw GuardianError("Cannot secure guardian lock.");
    int locked = -1;
    do {
        locked = ::flock(lock.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) throw GuardianError("Cannot secure guardian lock.");

    fd_ = lock.release();
    context.currentLockFD = fd_;
}

GuardianLockHold::~GuardianLockHold() {
    guardianContext().currentLockFD.reset();
    ::flock(fd_, LOCK_UN);
    UniqueFd closing(fd_);
}
