#pragma once

#include <string>

// The identity of the running program's code, for pinning it in the installation record.
namespace WakeCodeIdentity {

// The running program's code hash: 40 lower-case hexadecimal digits. Throws WakeIPCError
// "실행 중인 앱의 서명을 확인할 수 없습니다." when its code cannot be reached,
// "보호된 코드 서명이 필요합니다." when that code is not protected as a signed program must be,
// and "올바른 코드 서명이 아닙니다." when the hash is malformed.
std::string currentHash();

}  // namespace WakeCodeIdentity
