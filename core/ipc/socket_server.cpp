#include "ipc/socket_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "ipc/peer_identity.hpp"
#include "sys/peer_judgement.hpp"
#include "sys/clock.hpp"
#include "sys/code_hash.hpp"
#include "sys/local_socket.hpp"

namespace {

constexpr std::size_t kSessionIdLength = 36;
constexpr int kBacklog = 4;
constexpr int kAcceptWaitMs = 500;
constexpr time_t kSocketTimeoutSeconds = 15;
constexpr time_t kRequestTimeoutSeconds = 1;
constexpr double kRequestDeadlineSeconds = 1.0;

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

void set_timeout(int fd, int option, time_t seconds) {
    const timeval timeout{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof timeout);
}

// The option results are deliberately not checked: a socket without them still works, only
// with longer waits.
void set_socket_options(int fd) {
    set_no_sigpipe(fd);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    set_timeout(fd, SO_RCVTIMEO, kSocketTimeoutSeconds);
    set_timeout(fd, SO_SNDTIMEO, kSocketTimeoutSeconds);
}

// One byte per read, so that nothing after the line feed is consumed; the whole line must come
// within its deadline, however slowly the bytes trickle in.
FanResult<std::string> read_request_line(int connection) {
    std::string pending;
    std::string line;
    const LineLimits limits{
        .max_length = kLineLimit - 1, .deadline = continuous_seconds() + kRequestDeadlineSeconds, .byte_by_byte = true};
    switch (read_line(connection, pending, line, limits)) {
        case LineEnd::line: return line;
        case LineEnd::closed: return fan_error(kPeerDisconnected);
        case LineEnd::too_long:
        case LineEnd::timed_out: break;
    }
    return fan_error(kRequestTooLarge);
}

Reply error_only(std::string message) {
    Reply reply;
    reply.error = std::move(message);
    return reply;
}

}  // namespace

FanResult<std::string> session_path(std::string_view session_id) {
    // Exactly the 8-4-4-4-12 form.
    if (session_id.size() != kSessionIdLength) return fan_error(kInvalidSessionId);
    for (std::size_t i = 0; i < session_id.size(); ++i) {
        const bool dash_position = i == 8 || i == 13 || i == 18 || i == 23;
        const bool fits = dash_position ? session_id[i] == '-' : is_hex_digit(session_id[i]);
        if (!fits) return fan_error(kInvalidSessionId);
    }
    // The path, with the identifier exactly as received.
    std::string path = "/var/run/fantavrin.";
    path += session_id;
    path += "/control.sock";
    return path;
}

FanResult<SocketServer> SocketServer::bind(std::string path, std::uint32_t uid) {
    // The socket.
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (!listener) return fan_error(kSocketCreateFailed);

    // Options, unchecked.
    set_socket_options(listener.get());

    // The address record: the path, zero-filled to the end of the field. A path that does
    // not fit, or that holds a NUL byte (it would name another file), is refused.
    const auto address = local_address(path);
    if (!address) {
        return fan_error(address.error() == AddressFailure::too_long ? kSocketPathTooLong : kSocketSetupFailed);
    }

    // Bind, hand the file to the session user alone, listen. A socket file that bind made
    // is left for the caller's cleanup. lchown never follows a link put in the file's place.
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address->record), address->length) != 0 ||
        ::lchown(path.c_str(), uid, 0) != 0 || ::chmod(path.c_str(), 0600) != 0 ||
        ::listen(listener.get(), kBacklog) != 0) {
        return fan_error(kSocketSetupFailed);
    }

    // The server.
    return SocketServer(std::move(path), std::move(listener));
}

void SocketServer::next(std::uint32_t uid, const std::optional<std::string>& code_hash,
                        const std::function<Reply(const Request&)>& handler) {
    // A short wait, so that the caller's loop keeps its pace; a signal ends it at once.
    pollfd waiting{listener_.get(), POLLIN, 0};
    if (::poll(&waiting, 1, kAcceptWaitMs) <= 0) return;

    // The connection.
    const UniqueFd connection(::accept(listener_.get(), nullptr, nullptr));
    if (!connection) return;

    // Options; the request must then come within a second, the reply may take longer.
    set_socket_options(connection.get());
    set_timeout(connection.get(), SO_RCVTIMEO, kRequestTimeoutSeconds);

    // Only the session user; a refused peer learns nothing.
    const auto peer_uid = peer_effective_uid(connection.get());
    if (!peer_uid || *peer_uid != uid) return;

    // In daemon mode, only the one application build. The protocol opens with the client's
    // request, so a request written before the client replaced itself by the pinned program
    // cannot be told apart here; the check is as good as the moment it is made.
    if (code_hash) {
        if (!is_code_hash(*code_hash)) return;
        // Judging reads the peer's executable, which the peer may have put on a file system that
        // never answers; the caller's safety check must not wait on that. A judgement not done by
        // its deadline refuses the peer and is left behind holding a duplicate of the connection,
        // so the connection is shut down for the peer to see the refusal now.
        const std::string requirement = code_requirement(*code_hash);
        if (peer_code_within(connection.get(), requirement) != PeerCode::satisfies) {
            ::shutdown(connection.get(), SHUT_RDWR);
            return;
        }
    }

    // The request and the handler's answer to it.
    Reply reply;
    if (auto line = read_request_line(connection.get()); !line) {
        reply = error_only(line.error().message);
    } else if (auto request = decode_request(*line); !request) {
        reply = error_only(request.error().message);
    } else {
        reply = handler(*request);
    }

    // One more attempt carrying only the failure, whose own result does not matter.
    if (auto sent = send_json(reply, connection.get()); !sent) {
        (void)send_json(error_only(sent.error().message), connection.get());
    }
    // The connection closes with its guard.
}

SocketServer& SocketServer::operator=(SocketServer&& other) noexcept {
    if (this != &other) {
        release();
        path_ = std::move(other.path_);
        listener_ = std::move(other.listener_);
    }
    return *this;
}

void SocketServer::release() {
    if (!listener_) return;
    listener_.reset();
    if (path_.find('\0') == std::string::npos) ::unlink(path_.c_str());
}
