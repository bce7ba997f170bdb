#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Strict UTF-8, as both programs accept text from outside: no overlong forms, no surrogates,
// nothing past U+10FFFF.

// Length of the sequence starting at `pos` with its code point in `out`, or 0 when it is
// malformed.
std::size_t decode_utf8_at(std::string_view text, std::size_t pos, char32_t& out);

// True when every byte belongs to a well-formed sequence.
bool is_valid_utf8(std::string_view text);

// The text with every byte that does not belong to a well-formed sequence replaced by U+FFFD, so
// that a message with a stray byte is still shown rather than lost.
std::string repair_utf8(std::string_view text);
