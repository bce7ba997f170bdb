#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The code hash of a program where the platform has no code signatures to ask (the Linux stand-in
// for a code-directory hash): the first 20 bytes of the SHA-256 of its executable file, as 40
// lower-case hexadecimal digits, exactly the first 40 characters `sha256sum` prints for it.

// Empty when the file cannot be read to its end.
std::optional<std::string> code_hash_of_file(const std::string& path);

// The same, read from an open descriptor positioned at the file's start.
std::optional<std::string> code_hash_of_descriptor(int fd);

// What judging another process's code may cost. Its executable is chosen by whoever runs it, so
// a file of any size, even a sparse one of many gigabytes, must not hold up the judge: a larger
// file is refused unread, and hashing stops once the time is spent.
struct CodeHashBudget {
    std::uint64_t max_bytes = 256ull << 20;
    double seconds = 0.5;
};

// The code hash of an executable open at `fd` (positioned anywhere; it is read from its start).
// A file judged before and unchanged since (same device, inode, size, modification and change
// times) is answered from a process-wide cache without being read; any change misses it. Empty
// for anything but a regular file, a file over the budget's size, or a hash not done in time.
std::optional<std::string> code_hash_of_executable(int fd, const CodeHashBudget& budget = {});
