#include "Engine/wake_code_identity.hpp"
#include "Engine/wake_code_identity_linux.hpp"

#include "sys/executable_hash.hpp"
#include "sys/trusted_file.hpp"
#include "sys/unique_fd.hpp"
#include "Engine/wake_ipc_contract.hpp"
#include "Engine/wake_ipc_error.hpp"

#include <fcntl.h>

namespace WakeCodeIdentity {

std::string currentHash() { return codeHashOfProtectedProgram("/proc/self/exe"); }

std::string codeHashOfProtectedProgram(const std::string& executable) {
    // One descriptor for the checks and the hash, so the file judged is the file hashed.
    const UniqueFd code(::open(executable.c_str(), O_RDONLY | O_CLOEXEC));
    if (!code) throw WakeIPCError("실행 중인 앱의 서명을 확인할 수 없습니다.");

    // Without a code signature, the stand-in for a hardened one is a program file that only
    // root can have written.
    if (!trusted_descriptor(code.get(), FileTrust{})) throw WakeIPCError("보호된 코드 서명이 필요합니다.");
    const auto hash = code_hash_of_descriptor(code.get());
    if (!hash) throw WakeIPCError("보호된 코드 서명이 필요합니다.");

    if (!WakeIPCContract::validHash(*hash)) throw WakeIPCError("올바른 코드 서명이 아닙니다.");
    return *hash;
}

}  // namespace WakeCodeIdentity
