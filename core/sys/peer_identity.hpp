#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// What a local stream socket tells about the process at its other end: which user it runs as
// and which code it runs. On macOS these answers come from getpeereid and from the code-signing
// services fed with the peer's audit token; each platform file supplies them its own way. Both
// ends of a connection may ask: a server about its client, a client about its server.

// The peer's effective user id at connection time; empty when it cannot be had.
std::optional<std::uint32_t> peer_effective_uid(int connection);

enum class PeerCode {
    satisfies,   // the peer runs exactly the required code
    fails,       // it runs other code, has gone, or the requirement is not one we understand
    unreadable,  // this process may not look at the peer's code (an unprivileged one facing root)
};

// Whether the code the peer is running now satisfies the code requirement text (for instance
// `cdhash H"<40 hex digits>"`). Any doubt other than a plain lack of permission is `fails`.
PeerCode peer_code(int connection, std::string_view requirement);

// True only when the peer's code is known to satisfy the requirement.
inline bool peer_code_satisfies(int connection, std::string_view requirement) {
    return peer_code(connection, requirement) == PeerCode::satisfies;
}
