#include "Engine/wake_code_identity.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <cstdint>
#include <limits>

#include "sys/cf_ref_darwin.hpp"
#include "sys/code_hash.hpp"
#include "Engine/wake_ipc_contract.hpp"
#include "Engine/wake_ipc_error.hpp"

namespace WakeCodeIdentity {

namespace {

// Only a signature made for the hardened runtime keeps the running code from being altered
// under it, so only such a signature's identity is worth pinning.
bool signedForHardenedRuntime(CFDictionaryRef information) {
    const CFTypeRef flags = CFDictionaryGetValue(information, kSecCodeInfoFlags);
    std::int64_t value = 0;
    if (flags == nullptr || CFGetTypeID(flags) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(flags), kCFNumberSInt64Type, &value) || value < 0 ||
        value > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    return (static_cast<std::uint32_t>(value) & kSecCodeSignatureRuntime) != 0;
}

}  // namespace

std::string currentHash() {
    CfRef<SecCodeRef> self;
    if (SecCodeCopySelf(kSecCSDefaultFlags, self.out()) != errSecSuccess || !self) {
        throw WakeIPCError("실행 중인 앱의 서명을 확인할 수 없습니다.");
    }

    CfRef<CFDictionaryRef> information;
    if (SecCodeCopySigningInformation(self.get(), kSecCSSigningInformation, information.out()) != errSecSuccess ||
        !information || CFGetTypeID(information.get()) != CFDictionaryGetTypeID()) {
        throw WakeIPCError("보호된 코드 서명이 필요합니다.");
    }
    const CFTypeRef unique = CFDictionaryGetValue(information.get(), kSecCodeInfoUnique);
    if (unique == nullptr || CFGetTypeID(unique) != CFDataGetTypeID() || !signedForHardenedRuntime(information.get())) {
        throw WakeIPCError("보호된 코드 서명이 필요합니다.");
    }

    // A code-directory hash is 20 bytes; anything else renders to text the contract refuses.
    const auto bytes = static_cast<CFDataRef>(unique);
    std::string hash = lower_hex({CFDataGetBytePtr(bytes), static_cast<std::size_t>(CFDataGetLength(bytes))});
    if (!WakeIPCContract::validHash(hash)) throw WakeIPCError("올바른 코드 서명이 아닙니다.");
    return hash;
}

}  // namespace WakeCodeIdentity
