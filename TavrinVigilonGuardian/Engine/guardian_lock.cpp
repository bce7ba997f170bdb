#include "Engine/guardian_lock.hpp"

#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "sys/trusted_file.hpp"

#include <cerrno>
#include <sys/file.h>

GuardianLockHold::GuardianLockHold() {
    auto& context = guardianContext();
    auto opened = open_trusted(context.lockPath, FileTrust{}, O_RDWR | O_CREAT, 0600);
    // A data directory on a file system that became read-only refuses the file for writing, yet
    // the lock is what every safety stop, every stop and every restore runs under. The lock
    // belongs to the open file, whatever it was opened for, so the existing file serves as well
    // opened for reading.
    if (!opened && opened.error() == TrustFailure::unreadable) opened = open_trusted(context.lockPath, FileTrust{});
    if (!opened && opened.error() != TrustFailure::untrusted) throw GuardianError("Cannot open guardian lock.");
    if (!opened) throw GuardianError("Cannot secure guardian lock.");
    UniqueFd lock = std::move(*opened);
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
