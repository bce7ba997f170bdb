// fan-client SOCKET_PATH [JSON-LINE]
// fan-client --trickle SOCKET_PATH TEXT
//
// Sends one request line to the fan helper's control socket (the argument, or the first line of
// standard input when there is none), prints the reply line, and exits 0 when a whole reply
// line came back, 1 otherwise with one line on standard error.
//
// With --trickle, TEXT goes out one byte every 0.3 s, with no line feed, until the server answers
// or hangs up; a server that closes while a byte is on its way is not an error here, because
// the point is to see what it answered. Standard error tells how many bytes went out.

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "sys/unique_fd.hpp"

namespace {

// Long enough for the slowest request: a manual switch may wait about ten seconds.
constexpr time_t kReplyTimeoutSeconds = 30;

int fail(const std::string& message) {
    std::cerr << "fan-client: " << message << '\n';
    return 1;
}

std::string system_error(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool send_all(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

constexpr int kTrickleIntervalMs = 300;

// Sends TEXT a byte at a time, waiting between bytes for the server to answer; stops at the first
// sign of an answer or a hang-up and returns how many bytes went out.
std::size_t trickle(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        if (::send(fd, text.data() + sent, 1, MSG_NOSIGNAL) != 1) break;
        ++sent;
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, kTrickleIntervalMs) != 0) break;
    }
    return sent;
}

}  // namespace

int main(int argc, char** argv) {
    const bool trickling = argc == 4 && std::string(argv[1]) == "--trickle";
    if (!trickling && argc != 2 && argc != 3) {
        return fail("usage: fan-client SOCKET_PATH [JSON-LINE] | fan-client --trickle SOCKET_PATH TEXT");
    }
    ::signal(SIGPIPE, SIG_IGN);

    const std::string path = argv[trickling ? 2 : 1];
    std::string request;
    if (trickling) {
        request = argv[3];
    } else if (argc == 3) {
        request = argv[2];
    } else if (!std::getline(std::cin, request)) {
        return fail("no request on standard input");
    }

    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return fail("socket path too long");
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());

    const UniqueFd socket_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket_fd) return fail(system_error("socket"));
    const timeval timeout{kReplyTimeoutSeconds, 0};
    ::setsockopt(socket_fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail(system_error("connect"));
    }
    if (trickling) {
        std::cerr << "fan-client: sent " << trickle(socket_fd.get(), request) << " of " << request.size()
                  << " bytes\n";
    } else if (!send_all(socket_fd.get(), request + '\n')) {
        return fail(system_error("send"));
    }

    std::string reply;
    for (;;) {
        char buffer[4096];
        const ssize_t n = ::read(socket_fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(system_error("read"));
        if (n == 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
        if (reply.find('\n') != std::string::npos) break;
    }
    const auto end = reply.find('\n');
    if (end == std::string::npos) {
        return fail(reply.empty() ? "connection closed without a reply" : "reply line cut short");
    }
    std::cout << reply.substr(0, end + 1) << std::flush;
    return 0;
}
