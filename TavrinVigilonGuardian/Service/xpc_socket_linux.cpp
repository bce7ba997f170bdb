#include "xpc_socket_linux.hpp"

#include "wake_ipc_error.hpp"
#include "xpc_wire.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kBacklog = 16;
constexpr time_t kConnectTimeoutSeconds = 2;

bool fillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

}  // namespace

LineStatus readLine(int fd, std::string& pending, std::string& line) {
    for (;;) {
        if (const auto end = pending.find('\n'); end != std::string::npos) {
            line.assign(pending, 0, end);
            pending.erase(0, end + 1);
            return LineStatus::line;
        }
        if (pending.size() > xpcLineLimit) return LineStatus::broken;
        char block[4096];
        const ssize_t n = ::recv(fd, block, sizeof block, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return LineStatus::closed;
        pending.append(block, static_cast<std::size_t>(n));
    }
}

bool writeLine(int fd, std::string_view text) {
    std::string bytes(text);
    bytes += '\n';
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

UniqueFd listenAt(const std::string& path) {
    const WakeIPCError failure("Cannot open the service socket " + path + ".");
    sockaddr_un address{};
    if (!fillAddress(path, address)) throw failure;
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) throw failure;

    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode) || ::unlink(path.c_str()) != 0) throw failure;
    }
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0666) != 0 || ::listen(listener.get(), kBacklog) != 0) {
        throw failure;
    }
    return listener;
}

UniqueFd connectTo(const std::string& path) {
    sockaddr_un address{};
    if (!fillAddress(path, address)) return {};
    UniqueFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection) return {};
    // A service whose queue of waiting peers is full would otherwise hold the caller in connect
    // for as long as it stays full.
    const timeval patience{kConnectTimeoutSeconds, 0};
    ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return connection;
}

bool rootOwnedEndpoint(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    const std::string directory = slash == 0 ? "/" : path.substr(0, slash);

    // The run directory is commonly reached through a link (/var/run to /run); the directory
    // it leads to is the one that must be safe.
    struct stat folder {};
    if (::stat(directory.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) || folder.st_uid != 0 ||
        (folder.st_mode & 022) != 0) {
        return false;
    }
    struct stat socket {};
    return ::lstat(path.c_str(), &socket) == 0 && S_ISSOCK(socket.st_mode) && socket.st_uid == 0;
}
