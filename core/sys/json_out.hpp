#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The primitive writers of the JSON texts both programs produce (status output, replies, records).
// They append to a caller's buffer and never insert whitespace.

// Plain decimal, with a leading "-" when negative.
void append_json_int(std::string& out, std::int64_t value);

// The shortest text that reads back as the same double. Integral values in fixed notation keep
// a trailing ".0"; very large and very small magnitudes use exponent notation; NaN and the
// infinities, which JSON cannot express, become null.
void append_json_double(std::string& out, double value);

// A quoted string: the quotation mark, the backslash and control characters escaped, every
// other byte copied as it is (the texts are UTF-8, Korean included).
void append_json_string(std::string& out, std::string_view text);
