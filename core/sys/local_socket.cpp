#include "sys/local_socket.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sys/clock.hpp"

namespace {

// The platform the programs serve switches SIGPIPE off per socket; elsewhere every send says so.
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

constexpr std::size_t kPathField = kLocalPathLimit + 1;

Transfer failure_of(int error) {
    if (error == EAGAIN || error == EWOULDBLOCK) return Transfer::timed_out;
    if (error == EPIPE || error == ECONNRESET) return Transfer::closed;
    return Transfer::failed;
}

}  // namespace

std::expected<LocalAddress, AddressFailure> local_address(std::string_view path) {
    if (path.size() > kLocalPathLimit) return std::unexpected(AddressFailure::too_long);
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        return std::unexpected(AddressFailure::invalid);
    }
    LocalAddress address;
    address.record.sun_family = AF_UNIX;
    std::memcpy(address.record.sun_path, path.data(), path.size());
    address.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + kPathField);
    return address;
}

Transfer send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), kSendFlags);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failure_of(errno);
        if (n == 0) return Transfer::closed;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return Transfer::done;
}

Transfer receive_exactly(int fd, void* data, std::size_t size, std::size_t& received) {
    auto* bytes = static_cast<char*>(data);
    received = 0;
    while (received < size) {
        const ssize_t n = ::recv(fd, bytes + received, size - received, 0);
        if (n == 0) return Transfer::closed;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failure_of(errno);
        received += static_cast<std::size_t>(n);
    }
    return Transfer::done;
}

LineEnd read_line(int fd, std::string& pending, std::string& line, const LineLimits& limits) {
    for (;;) {
        if (const auto end = pending.find('\n'); end != std::string::npos) {
            if (end > limits.max_length) return LineEnd::too_long;
            line.assign(pending, 0, end);
            pending.erase(0, end + 1);
            return LineEnd::line;
        }
        if (pending.size() > limits.max_length) return LineEnd::too_long;
        if (limits.deadline && continuous_seconds() >= *limits.deadline) return LineEnd::timed_out;
        char block[4096];
        const std::size_t wanted = limits.byte_by_byte ? 1 : sizeof block;
        const ssize_t n = ::read(fd, block, wanted);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return LineEnd::closed;
        pending.append(block, static_cast<std::size_t>(n));
    }
}
