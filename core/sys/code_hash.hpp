#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The identity of a program's code: the first 20 bytes of the SHA-256 of its executable file,
// as 40 lower-case hexadecimal digits (the first 40 characters `sha256sum` prints for it).
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

// Whether a text has that form: exactly 40 characters, each 0-9 or a-f.
bool is_code_hash(std::string_view text);

// The code-signing requirement that only the code with this hash satisfies:
// cdhash H"<hash>". The hash is taken as it is; callers check its form first.
std::string code_requirement(std::string_view hash);

// The hash a requirement of exactly that form names (lower-cased), or empty for any other text.
std::optional<std::string> code_hash_in_requirement(std::string_view requirement);
