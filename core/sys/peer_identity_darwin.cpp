#include "peer_identity.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>
#include <mach/message.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include "cf_ref_darwin.hpp"

namespace {

// The audit token names the peer process itself, not a pid that a new process could take over.
std::optional<audit_token_t> peer_audit_token(int connection) {
    audit_token_t token{};
    socklen_t length = sizeof token;
    if (::getsockopt(connection, SOL_LOCAL, LOCAL_PEERTOKEN, &token, &length) != 0 || length != sizeof token) {
        return std::nullopt;
    }
    return token;
}

// The running code of the process the token names.
CfRef<SecCodeRef> guest_code(const audit_token_t& token) {
    const CfRef<CFDataRef> token_data(
        CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(&token), sizeof token));
    if (!token_data) return {};

    const void* keys[] = {kSecGuestAttributeAudit};
    const void* values[] = {token_data.get()};
    const CfRef<CFDictionaryRef> attributes(CFDictionaryCreate(
        kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    if (!attributes) return {};

    CfRef<SecCodeRef> code;
    if (SecCodeCopyGuestWithAttributes(nullptr, attributes.get(), kSecCSDefaultFlags, code.out()) != errSecSuccess) {
        return {};
    }
    return code;
}

CfRef<SecRequirementRef> compiled_requirement(std::string_view text) {
    // Plain UTF-8 bytes: not an external representation, so no byte-order mark is looked for.
    const CfRef<CFStringRef> string(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
    if (!string) return {};

    CfRef<SecRequirementRef> requirement;
    if (SecRequirementCreateWithString(string.get(), kSecCSDefaultFlags, requirement.out()) != errSecSuccess) {
        return {};
    }
    return requirement;
}

}  // namespace

std::optional<std::uint32_t> peer_effective_uid(int connection) {
    uid_t user = 0;
    gid_t group = 0;
    if (::getpeereid(connection, &user, &group) != 0) return std::nullopt;
    return static_cast<std::uint32_t>(user);
}

// Never `unreadable`: the Security framework judges any process from its audit token, root's
// included, whoever asks. Whatever cannot be judged is a plain `fails`.
PeerCode peer_code(int connection, std::string_view requirement) {
    const auto token = peer_audit_token(connection);
    if (!token) return PeerCode::fails;

    const CfRef<SecCodeRef> code = guest_code(*token);
    if (!code) return PeerCode::fails;

    const CfRef<SecRequirementRef> compiled = compiled_requirement(requirement);
    if (!compiled) return PeerCode::fails;

    return SecCodeCheckValidity(code.get(), kSecCSDefaultFlags, compiled.get()) == errSecSuccess ? PeerCode::satisfies
                                                                                                 : PeerCode::fails;
}
