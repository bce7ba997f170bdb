#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <string>

#include "sys/unique_fd.hpp"

// What a file must be before either program relies on it: owned by one user (root unless said
// otherwise), of one type, and without the mode bits that would let anyone else change it (or,
// for the stricter files, even read it).
struct FileTrust {
    enum class Kind { regular, directory, socket };
    Kind kind = Kind::regular;
    uid_t owner = 0;
    mode_t forbidden = S_IWGRP | S_IWOTH;
};

// Whether a status taken of the file itself (never of what a link points to) satisfies the rule.
bool trusted_status(const struct stat& status, const FileTrust& rule);

// Whether the file behind an open descriptor satisfies the rule.
bool trusted_descriptor(int fd, const FileTrust& rule);

enum class TrustFailure {
    missing,     // nothing at the path
    link,        // a symbolic link, which is never followed
    unreadable,  // something there that could not be opened or read (a permission, an I/O error)
    untrusted,   // opened, and the descriptor fails the rule
    too_large,   // a regular file longer than the reader's limit, refused unread
};

// Opens `path` without following a final symbolic link, judges the descriptor it opened (not the
// path, which could change in between) and returns it. `flags` adds the access mode and O_CREAT;
// `create_mode` is the mode of a file O_CREAT makes. A socket is opened as a bare reference to the
// file where the platform can do that (it cannot be opened for reading). Never blocks on a FIFO.
std::expected<UniqueFd, TrustFailure> open_trusted(const std::string& path, const FileTrust& rule, int flags = O_RDONLY,
                                                   mode_t create_mode = 0);

// The whole content of a trusted regular file of at most `limit` bytes. A longer file is refused
// before a byte of it is read.
std::expected<std::string, TrustFailure> read_trusted(const std::string& path, const FileTrust& rule,
                                                      std::size_t limit);

// A socket at `path` that only `owner` can have put there: the socket itself belongs to `owner`,
// in a directory of `owner` that neither group nor others may write. The directory is judged
// where a link leads (the run directory is commonly reached through one); the socket itself
// never is. Its own write bits are what lets others connect, so they are not held against it.
bool trusted_socket(const std::string& path, uid_t owner = 0);
