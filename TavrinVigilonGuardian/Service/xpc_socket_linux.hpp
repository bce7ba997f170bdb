#pragma once

#include "sys/local_socket.hpp"
#include "sys/unique_fd.hpp"

#include <string>
#include <string_view>

// Local stream socket plumbing shared by the listener and both kinds of connection.

// Reads the next call or reply line (at most xpcLineLimit bytes), keeping whatever follows it in
// `pending` for the next call.
LineEnd readLine(int fd, std::string& pending, std::string& line);

// Writes the text and a line feed; false when the other end is gone. Never raises SIGPIPE.
bool writeLine(int fd, std::string_view text);

// Binds and listens at `path`, which anyone may connect to: who is served is decided per peer.
// A socket left by an earlier daemon is replaced; anything else there is left alone. Throws
// WakeIPCError when the socket cannot be made.
UniqueFd listenAt(const std::string& path);

// A connected socket, or an empty guard when nothing listens at `path`.
UniqueFd connectTo(const std::string& path);
