#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

// The identity of a program's code is its code hash: 40 lower-case hexadecimal digits, the form
// of a 20-byte code-directory hash. A peer is pinned by the code-signing requirement that names
// exactly one such hash.

// Bytes as lower-case hexadecimal digits, two per byte: the form a code hash is written in.
std::string lower_hex(std::span<const unsigned char> bytes);

// Whether a text has that form: exactly 40 characters, each 0-9 or a-f.
bool is_code_hash(std::string_view text);

// The code-signing requirement that only the code with this hash satisfies:
// cdhash H"<hash>". The hash is taken as it is; callers check its form first.
std::string code_requirement(std::string_view hash);

// The hash a requirement of exactly that form names (lower-cased), or empty for any other text.
std::optional<std::string> code_hash_in_requirement(std::string_view requirement);
