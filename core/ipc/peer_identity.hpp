#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// What the control socket needs to know about the process at the other end of an accepted
// connection. On macOS these answers come from getpeereid and from the code-signing services
// fed with the peer's audit token; each platform file supplies them its own way.

// Applies the platform's per-socket protection against SIGPIPE on writes to a closed peer.
void set_no_sigpipe(int socket);

// The peer's effective user id at connection time; empty when it cannot be had.
std::optional<std::uint32_t> peer_effective_uid(int connection);

// True only when the code the peer is running now satisfies the code requirement text
// (for instance `cdhash H"<40 hex digits>"`). Any doubt answers false.
bool peer_code_satisfies(int connection, std::string_view requirement);
