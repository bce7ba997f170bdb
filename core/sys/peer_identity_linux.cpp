#include "peer_identity.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

#include "code_hash.hpp"
#include "executable_hash.hpp"
#include "peer_process_linux.hpp"
#include "unique_fd.hpp"

// Older C library headers lack the option; the kernel has had it since 6.5.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace {

// The process a pidfd stands for, as this process's pid namespace numbers it; empty once that
// process has been reaped (the kernel then reports -1).
std::optional<pid_t> pid_of_pidfd(int pidfd) {
    // Read with one call: this runs twice for every peer judged, and the file is a few lines.
    char text[512];
    const UniqueFd info(::open(("/proc/self/fdinfo/" + std::to_string(pidfd)).c_str(), O_RDONLY | O_CLOEXEC));
    if (!info) return std::nullopt;
    const ssize_t length = ::read(info.get(), text, sizeof text - 1);
    if (length <= 0) return std::nullopt;
    const std::string_view lines(text, static_cast<std::size_t>(length));
    const auto at = lines.find("\nPid:");
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view value = lines.substr(at + 5);
    value = value.substr(0, value.find('\n'));
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), pid);
    if (error != std::errc() || end != value.data() + value.size() || pid <= 0) return std::nullopt;
    return pid;
}

// A process that exists but may not be signalled by us (a root server seen by its unprivileged
// client) is still alive; only one that has exited is not.
bool process_alive(int pidfd) { return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0 || errno == EPERM; }

// The kernel shows another user's executable only to a privileged reader.
PeerExecutable executable_of(pid_t pid) {
    const UniqueFd executable(::open(("/proc/" + std::to_string(pid) + "/exe").c_str(), O_RDONLY | O_CLOEXEC));
    if (!executable) return PeerExecutable{.hash = std::nullopt, .denied = errno == EACCES || errno == EPERM};
    return PeerExecutable{.hash = code_hash_of_executable(executable.get()), .denied = false};
}

}  // namespace

PeerProcessProbe PeerProcessProbe::production() {
    return PeerProcessProbe{.pid_of = pid_of_pidfd, .alive = process_alive, .executable = executable_of};
}

PeerCode judge_peer_process(int pidfd, const std::string& required_hash, const PeerProcessProbe& probe) {
    const auto pid = probe.pid_of(pidfd);
    if (!pid) return PeerCode::fails;

    const PeerExecutable running = probe.executable(*pid);

    // The pid was read before the executable; had the peer died and its pid been reused
    // meanwhile, the pidfd would now say so. Only a peer still alive under the same pid proves
    // that the executable read was its own.
    if (!probe.alive(pidfd) || probe.pid_of(pidfd) != pid) return PeerCode::fails;

    if (running.denied) return PeerCode::unreadable;
    if (!running.hash) return PeerCode::fails;
    return *running.hash == required_hash ? PeerCode::satisfies : PeerCode::fails;
}

std::optional<std::uint32_t> peer_effective_uid(int connection) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials) {
        return std::nullopt;
    }
    return credentials.uid;
}

PeerCode peer_code(int connection, std::string_view requirement) {
    // The only requirement form either program ever builds names one code hash; anything else is
    // refused rather than guessed at.
    const auto required = code_hash_in_requirement(requirement);
    if (!required) return PeerCode::fails;

    // The peer process, pinned by a pidfd taken from the connection (the audit token's role):
    // unlike a bare pid it can never come to mean another process.
    int raw_pidfd = -1;
    socklen_t length = sizeof raw_pidfd;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERPIDFD, &raw_pidfd, &length) != 0) {
        return PeerCode::fails;
    }
    const UniqueFd pidfd(raw_pidfd);
    if (length != sizeof raw_pidfd || !pidfd) return PeerCode::fails;
    return judge_peer_process(pidfd.get(), *required, PeerProcessProbe::production());
}
