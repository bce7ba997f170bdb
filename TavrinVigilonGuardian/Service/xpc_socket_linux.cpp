#include "Service/xpc_socket_linux.hpp"

#include "Engine/wake_ipc_error.hpp"
#include "Service/xpc_wire.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace {

constexpr int kBacklog = 16;
constexpr time_t kConnectTimeoutSeconds = 2;

}  // namespace

LineEnd readLine(int fd, std::string& pending, std::string& line) {
    return read_line(fd, pending, line, LineLimits{.max_length = xpcLineLimit, .deadline = std::nullopt});
}

bool writeLine(int fd, std::string_view text) {
    std::string bytes(text);
    bytes += '\n';
    return send_all(fd, bytes) == Transfer::done;
}

UniqueFd listenAt(const std::string& path) {
    const WakeIPCError failure("Cannot open the service socket " + path + ".");
    const auto address = local_address(path);
    if (!address) throw failure;
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) throw failure;

    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode) || ::unlink(path.c_str()) != 0) throw failure;
    }
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address->record), address->length) != 0 ||
        ::chmod(path.c_str(), 0666) != 0 || ::listen(listener.get(), kBacklog) != 0) {
        throw failure;
    }
    return listener;
}

UniqueFd connectTo(const std::string& path) {
    const auto address = local_address(path);
    if (!address) return {};
    UniqueFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection) return {};
    // A service whose queue of waiting peers is full would otherwise hold the caller in connect
    // for as long as it stays full.
    const timeval patience{kConnectTimeoutSeconds, 0};
    ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address->record), address->length) != 0) {
        return {};
    }
    return connection;
}
