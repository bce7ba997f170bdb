#pragma once

// The code-signing interfaces the Mac files use. In the SDK they are spread over
// Security/SecBase.h, CSCommon.h, SecCode.h and SecRequirement.h, which Security.h includes.

#include <stdint.h>

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

enum : OSStatus {
    errSecSuccess = 0,
};

// Running code; wherever static code is asked for, a code object may be passed instead, which
// is why the static form is the same record seen through a pointer to const.
typedef struct __SecCode* SecCodeRef;
typedef const struct __SecCode* SecStaticCodeRef;
typedef struct __SecRequirement* SecRequirementRef;

typedef uint32_t SecCSFlags;
enum : uint32_t {
    kSecCSDefaultFlags = 0,
};

// What SecCodeCopySigningInformation is asked to include.
enum : uint32_t {
    kSecCSSigningInformation = 1 << 1,
};

// Bits of the kSecCodeInfoFlags value.
typedef uint32_t SecCodeSignatureFlags;
enum : uint32_t {
    kSecCodeSignatureRuntime = 0x10000,
};

extern const CFStringRef kSecGuestAttributeAudit;
extern const CFStringRef kSecCodeInfoUnique;
extern const CFStringRef kSecCodeInfoFlags;

OSStatus SecCodeCopySelf(SecCSFlags flags, SecCodeRef* self);
OSStatus SecCodeCopyGuestWithAttributes(SecCodeRef host, CFDictionaryRef attributes, SecCSFlags flags,
                                        SecCodeRef* guest);
OSStatus SecCodeCheckValidity(SecCodeRef code, SecCSFlags flags, SecRequirementRef requirement);
OSStatus SecCodeCopySigningInformation(SecStaticCodeRef code, SecCSFlags flags, CFDictionaryRef* information);

OSStatus SecRequirementCreateWithString(CFStringRef text, SecCSFlags flags, SecRequirementRef* requirement);

#ifdef __cplusplus
}
#endif
