#include "install_lock.hpp"

#include "guardian_error.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

InstallLockHold::InstallLockHold(const std::string& path) {
    // 1. Only the installer creates it.
    UniqueFd lock(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!lock) throw GuardianError("도우미 설치 잠금을 확인할 수 없습니다.");

    // 2. Stricter than the guardian lock: nobody but root may even read it.
    struct stat status {};
    const bool sound = ::fstat(lock.get(), &status) == 0 && status.st_uid == 0 && S_ISREG(status.st_mode) &&
                       (status.st_mode & 077) == 0;
    if (!sound) throw GuardianError("안전하지 않은 설치 잠금입니다.");

    // 3. Tried once, never waited for.
    int locked = -1;
    do {
        locked = ::flock(lock.get(), LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) throw GuardianError("설치 또는 제거가 진행 중입니다. 잠시 후 다시 시도해 주세요.");

    fd_ = std::move(lock);
}

InstallLockHold::~InstallLockHold() { ::flock(fd_.get(), LOCK_UN); }
