#include "Daemon/install_lock.hpp"

#include "Engine/guardian_error.hpp"
#include "sys/trusted_file.hpp"

#include <cerrno>
#include <sys/file.h>

InstallLockHold::InstallLockHold(const std::string& path) {
    // Only the installer creates it, so it is never created here.
    // Stricter than the guardian lock: nobody but root may even read it.
    const FileTrust rootOnly{.forbidden = 077};
    auto opened = open_trusted(path, rootOnly, O_RDWR);
    if (!opened && opened.error() != TrustFailure::untrusted) {
        throw GuardianError("도우미 설치 잠금을 확인할 수 없습니다.");
    }
    if (!opened) throw GuardianError("안전하지 않은 설치 잠금입니다.");
    UniqueFd lock = std::move(*opened);

    // Tried once, never waited for.
    int locked = -1;
    do {
        locked = ::flock(lock.get(), LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) throw GuardianError("설치 또는 제거가 진행 중입니다. 잠시 후 다시 시도해 주세요.");

    fd_ = std::move(lock);
}

InstallLockHold::~InstallLockHold() { ::flock(fd_.get(), LOCK_UN); }
