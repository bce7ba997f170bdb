#include "peer_identity.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <string>

#include "code_hash.hpp"
#include "unique_fd.hpp"

// Older C library headers lack the option; the kernel has had it since 6.5.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace {

constexpr std::string_view kRequirementPrefix = "cdhash H\"";
constexpr std::size_t kCodeHashLength = 40;

// The only requirement form either program ever builds: one code hash. Anything else is
// refused rather than guessed at.
std::optional<std::string> required_code_hash(std::string_view requirement) {
    if (requirement.size() != kRequirementPrefix.size() + kCodeHashLength + 1) return std::nullopt;
    if (!requirement.starts_with(kRequirementPrefix) || !requirement.ends_with('"')) {
        return std::nullopt;
    }
    std::string hash;
    for (const char c : requirement.substr(kRequirementPrefix.size(), kCodeHashLength)) {
        if (c >= '0' && c <= '9') hash += c;
        else if (c >= 'a' && c <= 'f') hash += c;
        else if (c >= 'A' && c <= 'F') hash += static_cast<char>(c - 'A' + 'a');
        else return std::nullopt;
    }
    return hash;
}

// The process a pidfd stands for, as this process's pid namespace numbers it; empty once that
// process has been reaped (the kernel then reports -1).
std::optional<pid_t> pid_of_pidfd(int pidfd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(pidfd));
    std::string line;
    while (std::getline(info, line)) {
        if (!line.starts_with("Pid:")) continue;
        std::string_view value(line);
        value.remove_prefix(4);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        pid_t pid = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), pid);
        if (error != std::errc() || end != value.data() + value.size() || pid <= 0) {
            return std::nullopt;
        }
        return pid;
    }
    return std::nullopt;
}

// A process that exists but may not be signalled by us (a root server seen by its unprivileged
// client) is still alive; only one that has exited is not.
bool process_alive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0 || errno == EPERM;
}

}  // namespace

std::optional<std::uint32_t> peer_effective_uid(int connection) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials) {
        return std::nullopt;
    }
    return credentials.uid;
}

PeerCode peer_code(int connection, std::string_view requirement) {
    // 1. The requirement: which code hash the peer must run.
    const auto required = required_code_hash(requirement);
    if (!required) return PeerCode::fails;

    // 2. The peer process, pinned by a pidfd taken from the connection (the audit token's
    // role): unlike a bare pid it can never come to mean another process.
    int raw_pidfd = -1;
    socklen_t length = sizeof raw_pidfd;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERPIDFD, &raw_pidfd, &length) != 0) {
        return PeerCode::fails;
    }
    const UniqueFd pidfd(raw_pidfd);
    if (length != sizeof raw_pidfd || !pidfd) return PeerCode::fails;
    const auto pid = pid_of_pidfd(pidfd.get());
    if (!pid) return PeerCode::fails;

    // 3. The code it runs: the hash of its executable. The kernel shows another user's
    // executable only to a privileged reader.
    const UniqueFd executable(
        ::open(("/proc/" + std::to_string(*pid) + "/exe").c_str(), O_RDONLY | O_CLOEXEC));
    const bool denied = !executable && (errno == EACCES || errno == EPERM);
    std::optional<std::string> running;
    if (executable) running = code_hash_of_descriptor(executable.get());

    // 4. The pid was read before the executable was opened; had the peer died and its pid been
    // reused meanwhile, the pidfd would now say so. Only a peer still alive under the same pid
    // proves that the executable read was its own.
    if (!process_alive(pidfd.get()) || pid_of_pidfd(pidfd.get()) != pid) return PeerCode::fails;

    // 5. The check itself.
    if (denied) return PeerCode::unreadable;
    if (!running) return PeerCode::fails;
    return *running == *required ? PeerCode::satisfies : PeerCode::fails;
}
