#pragma once

#include <utility>

// Holds the cross-process guardian lock for its lifetime and publishes the descriptor as the
// context's currentLockFD meanwhile. An existing lock file that cannot be opened for writing (a
// read-only file system) is locked through a descriptor opened for reading. Throws GuardianError
// "Cannot open guardian lock." or "Cannot secure guardian lock."; never leaves a descriptor open.
class GuardianLockHold {
public:
    GuardianLockHold();
    ~GuardianLockHold();
    GuardianLockHold(const GuardianLockHold&) = delete;
    GuardianLockHold& operator=(const GuardianLockHold&) = delete;

private:
    int fd_;
};

// Runs `body` while this process holds the guardian lock; the lock is released and its file
// closed before any error of the body goes on.
template <typename Body>
decltype(auto) withGuardianLock(Body&& body) {
    GuardianLockHold hold;
    return std::forward<Body>(body)();
}
