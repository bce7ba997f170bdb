#pragma once

#include "sys/unique_fd.hpp"

#include <string>

// The lock the front end's installer holds while it places or removes the guardian. A request
// that changes anything holds it too, so it never runs against a half-installed product; it is
// only ever tried, never waited for, so a request during installation fails fast.
//
// Throws GuardianError "도우미 설치 잠금을 확인할 수 없습니다." when the file cannot be opened
// (missing, or a symbolic link), "안전하지 않은 설치 잠금입니다." when it is not a root-owned
// regular file closed to group and others, and "설치 또는 제거가 진행 중입니다. 잠시 후 다시
// 시도해 주세요." when another process holds it.
class InstallLockHold {
public:
    explicit InstallLockHold(const std::string& path);
    ~InstallLockHold();
    InstallLockHold(const InstallLockHold&) = delete;
    InstallLockHold& operator=(const InstallLockHold&) = delete;

private:
    UniqueFd fd_;
};
