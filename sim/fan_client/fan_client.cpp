// fan-client SOCKET_PATH [JSON-LINE]
// fan-client --trickle SOCKET_PATH TEXT
//
// Sends one request line to the fan helper's control socket (the argument, or the first line of
// standard input when there is none) and prints the reply line. Exits 0 for a reply without an
// error, 2 for a reply that carries one (it is printed all the same), and 1 with one line on
// standard error when no whole reply line came back. --help prints the usage.
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

#include "sys/json_in.hpp"
#include "sys/local_socket.hpp"
#include "sys/unique_fd.hpp"

namespace {

// Long enough for the slowest request: a manual switch may wait about ten seconds.
constexpr time_t kReplyTimeoutSeconds = 30;

int fail(const std::string& message) {
    std::cerr << "fan-client: " << message << '\n';
    return 1;
}

std::string system_error(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

constexpr char kUsage[] = "usage: fan-client SOCKET_PATH [JSON-LINE] | fan-client --trickle SOCKET_PATH TEXT";
// Longer than any reply the helper writes.
constexpr std::size_t kReplyLimit = 1 << 20;
constexpr int kAnsweredWithError = 2;

constexpr int kTrickleIntervalMs = 300;

// Sends TEXT a byte at a time, waiting between bytes for the server to answer; stops at the first
// sign of an answer or a hang-up and returns how many bytes went out.
std::size_t trickle(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        if (send_all(fd, text.substr(sent, 1)) != Transfer::done) break;
        ++sent;
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, kTrickleIntervalMs) != 0) break;
    }
    return sent;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << kUsage << '\n';
        return 0;
    }
    const bool trickling = argc == 4 && std::string(argv[1]) == "--trickle";
    if (!trickling && argc != 2 && argc != 3) return fail(kUsage);
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

    const auto address = local_address(path);
    if (!address) return fail("not a socket path: " + path);

    const UniqueFd socket_fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (!socket_fd) return fail(system_error("socket"));
    const timeval timeout{kReplyTimeoutSeconds, 0};
    ::setsockopt(socket_fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address->record), address->length) != 0) {
        return fail(system_error("connect"));
    }
    if (trickling) {
        std::cerr << "fan-client: sent " << trickle(socket_fd.get(), request) << " of " << request.size() << " bytes\n";
    } else if (send_all(socket_fd.get(), request + '\n') != Transfer::done) {
        return fail(system_error("send"));
    }

    std::string pending;
    std::string reply;
    switch (
        read_line(socket_fd.get(), pending, reply, LineLimits{.max_length = kReplyLimit, .deadline = std::nullopt})) {
        case LineEnd::line: break;
        case LineEnd::too_long: return fail("reply line too long");
        case LineEnd::closed:
        case LineEnd::timed_out:
            return fail(pending.empty() ? "connection closed without a reply" : "reply line cut short");
    }
    std::cout << reply << '\n' << std::flush;
    const auto answer = parse_json_strictly(reply);
    return answer && answer->is_object() && answer->contains("error") ? kAnsweredWithError : 0;
}
