#include "sys/trusted_file.hpp"

#include <unistd.h>

#include "sys/durable_file.hpp"

#include <cerrno>

namespace {

bool right_kind(const struct stat& status, FileTrust::Kind kind) {
    switch (kind) {
        case FileTrust::Kind::regular: return S_ISREG(status.st_mode);
        case FileTrust::Kind::directory: return S_ISDIR(status.st_mode);
        case FileTrust::Kind::socket: return S_ISSOCK(status.st_mode);
    }
    return false;
}

TrustFailure open_failure(int error) {
    if (error == ENOENT) return TrustFailure::missing;
    // O_NOFOLLOW refuses a final link with ELOOP.
    if (error == ELOOP) return TrustFailure::link;
    return TrustFailure::unreadable;
}

int open_flags(const FileTrust& rule, int flags) {
    // O_NONBLOCK keeps a FIFO planted at the path from stalling the open; it changes nothing for
    // the files and directories that are actually read.
    int opened = flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    if (rule.kind == FileTrust::Kind::directory) opened |= O_DIRECTORY;
#ifdef O_PATH
    if (rule.kind == FileTrust::Kind::socket) opened = O_PATH | O_NOFOLLOW | O_CLOEXEC;
#endif
    return opened;
}

}  // namespace

bool trusted_status(const struct stat& status, const FileTrust& rule) {
    return status.st_uid == rule.owner && (status.st_mode & rule.forbidden) == 0 && right_kind(status, rule.kind);
}

bool trusted_descriptor(int fd, const FileTrust& rule) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 && trusted_status(status, rule);
}

std::expected<UniqueFd, TrustFailure> open_trusted(const std::string& path, const FileTrust& rule, int flags,
                                                   mode_t create_mode) {
#ifndef O_PATH
    // Without a way to open a socket file itself, its status is the best evidence there is.
    if (rule.kind == FileTrust::Kind::socket) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) {
            return std::unexpected(open_failure(errno));
        }
        if (S_ISLNK(status.st_mode)) return std::unexpected(TrustFailure::link);
        if (!trusted_status(status, rule)) return std::unexpected(TrustFailure::untrusted);
        return UniqueFd();
    }
#endif
    UniqueFd fd(::open(path.c_str(), open_flags(rule, flags), create_mode));
    if (!fd) return std::unexpected(open_failure(errno));
    if (!trusted_descriptor(fd.get(), rule)) return std::unexpected(TrustFailure::untrusted);
    if (rule.kind != FileTrust::Kind::socket) {
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

std::expected<std::string, TrustFailure> read_trusted(const std::string& path, const FileTrust& rule,
                                                      std::size_t limit) {
    auto file = open_trusted(path, rule);
    if (!file) return std::unexpected(file.error());
    struct stat status {};
    if (::fstat(file->get(), &status) != 0) return std::unexpected(TrustFailure::unreadable);
    if (static_cast<std::size_t>(status.st_size) > limit) return std::unexpected(TrustFailure::too_large);

    // The size can still grow while the file is read; the limit holds for what is read as well.
    std::string bytes;
    char block[4096];
    for (;;) {
        const ssize_t count = ::read(file->get(), block, sizeof block);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return std::unexpected(TrustFailure::unreadable);
        if (count == 0) return bytes;
        bytes.append(block, static_cast<std::size_t>(count));
        if (bytes.size() > limit) return std::unexpected(TrustFailure::too_large);
    }
}

bool trusted_socket(const std::string& path, uid_t owner) {
    // "/." names the directory a link leads to, not the link.
    const FileTrust folder{.kind = FileTrust::Kind::directory, .owner = owner};
    const FileTrust socket{.kind = FileTrust::Kind::socket, .owner = owner, .forbidden = 0};
    return open_trusted(parent_directory(path) + "/.", folder).has_value() && open_trusted(path, socket).has_value();
}
