#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <list>
#include <nlohmann/json.hpp>

#include "virtual_smc_control.hpp"
#include "virtual_smc_socket_linux.hpp"

namespace vsmc {

namespace {

constexpr std::size_t kMaxClients = 256;
constexpr std::size_t kMaxControlLine = 64 * 1024;
constexpr int kPollMillis = 200;

struct Client {
    UniqueFd fd;
    bool control = false;
    std::vector<std::uint8_t> input;
    Caller caller = Caller::user;
};

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::expected<sockaddr_un, std::string> address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return std::unexpected("socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

// Binds a fresh listening socket at `path` with `mode`. A stale socket file left by a dead
// device is replaced; a live one, or any other file, is left alone.
std::expected<UniqueFd, std::string> listen_at(const std::string& path, mode_t mode) {
    auto addr = address(path);
    if (!addr) return std::unexpected(addr.error());
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return std::unexpected(path + " exists and is not a socket");
        if (connect_local(path)) return std::unexpected("a device already answers at " + path);
        if (::unlink(path.c_str()) != 0) return std::unexpected(errno_text(path.c_str()));
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return std::unexpected(errno_text("socket"));
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
        return std::unexpected(errno_text(path.c_str()));
    }
    if (::chmod(path.c_str(), mode) != 0 || ::listen(fd.get(), 64) != 0) {
        const std::string text = errno_text(path.c_str());
        ::unlink(path.c_str());
        return std::unexpected(text);
    }
    return fd;
}

bool peer_is_root(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == 0;
}

}  // namespace

bool send_all(int fd, const void* bytes, std::size_t size) {
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Answers are small; a client that lets them pile up is only waited for briefly.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;
            continue;
        }
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

// Serves every whole record the client has sent; false when the client is to be dropped.
bool serve_records(Device& device, Client& client) {
    std::size_t used = 0;
    while (client.input.size() - used >= smc_record::kSize) {
        Record request{};
        std::copy_n(client.input.begin() + static_cast<std::ptrdiff_t>(used), smc_record::kSize, request.begin());
        used += smc_record::kSize;
        const Record answer = device.handle(request, now_seconds(), client.caller);
        if (!send_all(client.fd.get(), answer.data(), answer.size())) return false;
    }
    client.input.erase(client.input.begin(), client.input.begin() + static_cast<std::ptrdiff_t>(used));
    return true;
}

std::string control_answer(Device& device, const std::string& line) {
    ControlReply reply;
    const auto words = nlohmann::json::parse(line, nullptr, false);
    if (!words.is_array() || words.empty() ||
        !std::ranges::all_of(words, [](const auto& w) { return w.is_string(); })) {
        reply = {false, "malformed control request"};
    } else {
        reply = run_control(device, words.get<std::vector<std::string>>(), now_seconds());
    }
    nlohmann::json out = {{"ok", reply.ok}, {"text", reply.text}};
    return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// Reads what the client sent; false when it is done (answered, gone or misbehaving).
bool serve_client(Device& device, Client& client) {
    std::uint8_t buffer[4096];
    const ssize_t n = ::recv(client.fd.get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    client.input.insert(client.input.end(), buffer, buffer + n);
    if (!client.control) return serve_records(device, client);

    const auto newline = std::ranges::find(client.input, '\n');
    if (newline == client.input.end()) return client.input.size() <= kMaxControlLine;
    const std::string answer = control_answer(device, std::string(client.input.begin(), newline));
    send_all(client.fd.get(), answer.data(), answer.size());
    return false;
}

void accept_client(int listener, bool control, std::list<Client>& clients) {
    UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) return;
    if (clients.size() >= kMaxClients) return;
    // Taken once, at connection time, as the kernel judges the opener of the user client.
    const bool root = peer_is_root(fd.get());
    if (control && !root) return;
    clients.push_back(Client{std::move(fd), control, {}, root ? Caller::root : Caller::user});
}

}  // namespace

double now_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::expected<UniqueFd, std::string> connect_local(const std::string& path) {
    auto addr = address(path);
    if (!addr) return std::unexpected(addr.error());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return std::unexpected(errno_text("socket"));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
        return std::unexpected(errno_text(path.c_str()));
    }
    return fd;
}

std::expected<void, std::string> serve(Device& device, const SocketPaths& paths, const std::atomic<bool>& stop) {
    auto device_listener = listen_at(paths.device, 0666);
    if (!device_listener) return std::unexpected(device_listener.error());
    auto control_listener = listen_at(paths.control, 0600);
    if (!control_listener) {
        ::unlink(paths.device.c_str());
        return std::unexpected(control_listener.error());
    }

    std::list<Client> clients;
    std::string failure;
    while (!stop.load()) {
        std::vector<pollfd> fds{{device_listener->get(), POLLIN, 0}, {control_listener->get(), POLLIN, 0}};
        for (const auto& c : clients) fds.push_back({c.fd.get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), kPollMillis) < 0) {
            if (errno == EINTR) continue;
            failure = errno_text("poll");
            break;
        }

        // Clients first, against the list the poll set was built from.
        std::size_t i = 2;
        for (auto it = clients.begin(); it != clients.end(); ++i) {
            const bool ready = fds[i].revents != 0;
            if (ready && !serve_client(device, *it)) {
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
        if (fds[0].revents & POLLIN) accept_client(device_listener->get(), false, clients);
        if (fds[1].revents & POLLIN) accept_client(control_listener->get(), true, clients);
    }
    ::unlink(paths.device.c_str());
    ::unlink(paths.control.c_str());
    if (!failure.empty()) return std::unexpected(failure);
    return {};
}

}  // namespace vsmc
