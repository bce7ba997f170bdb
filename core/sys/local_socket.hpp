#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

// The local stream sockets both programs speak over: how a path becomes an address, how bytes
// go out whole, and how one line comes in, within a length limit and, where asked, a deadline.

// The longest path the address record can carry with its terminating zero: the record's path
// field holds 104 bytes on the platform the programs serve.
inline constexpr std::size_t kLocalPathLimit = 103;

enum class AddressFailure { too_long, invalid };

struct LocalAddress {
    sockaddr_un record{};
    socklen_t length = 0;  // the family and the 104-byte path field, as the platform sizes it
};

// The address of the socket at `path`: the path bytes followed by zeros in the path field. A
// path longer than kLocalPathLimit is too long; an empty one or one holding a NUL byte (which
// would name another file than the one asked for) is invalid.
std::expected<LocalAddress, AddressFailure> local_address(std::string_view path);

enum class Transfer { done, closed, timed_out, failed };

// Writes all of `bytes`, continuing after partial writes and retrying an interrupted one. A peer
// that has gone away is `closed` (and never raises SIGPIPE), one that stopped reading past the
// socket's send timeout `timed_out`.
Transfer send_all(int fd, std::string_view bytes);

// Reads exactly `size` bytes; `received` tells how many arrived when the transfer ends early.
Transfer receive_exactly(int fd, void* data, std::size_t size, std::size_t& received);

enum class LineEnd {
    line,       // one whole line, without its line feed
    closed,     // the peer went away, or a read failed or timed out, before the line feed
    too_long,   // more than the line's limit without a line feed
    timed_out,  // the deadline passed before the line feed
};

struct LineLimits {
    std::size_t max_length = 0;      // bytes a line may hold, without its line feed
    std::optional<double> deadline;  // on the continuous clock; checked before every read
    // One byte per read, so that nothing after the line feed is taken from the socket. Otherwise
    // reads take whatever has arrived, and what follows the line waits in `pending`.
    bool byte_by_byte = false;
};

// Reads the next line into `line`, starting from what an earlier call left in `pending`.
LineEnd read_line(int fd, std::string& pending, std::string& line, const LineLimits& limits);
