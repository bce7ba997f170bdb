#pragma once

#include <optional>
#include <string>
#include <string_view>

// The identity of a program's code: the first 20 bytes of the SHA-256 of its executable file,
// as 40 lower-case hexadecimal digits (the first 40 characters `sha256sum` prints for it).
// Empty when the file cannot be read to its end.
std::optional<std::string> code_hash_of_file(const std::string& path);

// The same, read from an open descriptor positioned at the file's start.
std::optional<std::string> code_hash_of_descriptor(int fd);

// Whether a text has that form: exactly 40 characters, each 0-9 or a-f.
bool is_code_hash(std::string_view text);
