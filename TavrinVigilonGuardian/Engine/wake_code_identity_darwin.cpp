#include "Engine/wake_code_identity.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <cstdint>
#include <cstdio>
#include <limits>

#include "sys/cf_ref_darwin.hpp"
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

std::string lowerHex(CFDataRef bytes) {
    const UInt8* data = CFDataGetBytePtr(bytes);
    const CFIndex length = CFDataGetLength(bytes);
    std::string text;
    text.reserve(static_cast<std::size_t>(length) * 2);
    for (CFIndex i = 0; i < length; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned int>(data[i]));
        text += digits;
    }
    return text;
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
    std::string hash = lowerHex(static_cast<CFDataRef>(unique));
    if (!WakeIPCContract::validHash(hash)) throw WakeIPCError("올바른 코드 서명이 아닙니다.");
    return hash;
}

}  // namespace WakeCodeIdentity
