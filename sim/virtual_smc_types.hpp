#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Value helpers of the virtual device. Decoding reuses SmcValue::number; encoding covers every
// type the device serves (the engine's own encoder refuses the read-only types on purpose).
namespace vsmc {

// Size in bytes of a known SMC type, or nothing for a type the device cannot encode.
std::optional<std::size_t> type_size(std::string_view type);

// The bytes a number takes in the given type, or nothing when it does not fit the type.
std::optional<std::vector<std::uint8_t>> encode_number(std::string_view type, double value);

// The number the bytes stand for, or nothing.
std::optional<double> decode_number(const std::string& type, const std::vector<std::uint8_t>& bytes);

// "flt" → "flt "; types shorter than four characters are padded with blanks.
std::string pad_type(std::string_view type);

std::string to_hex(const std::vector<std::uint8_t>& bytes);
std::optional<std::vector<std::uint8_t>> from_hex(std::string_view text);

// Shortest text that reads back as the same double.
std::string format_number(double value);

// Parses a whole decimal (or 0x-prefixed hexadecimal) number; nothing on trailing junk.
std::optional<double> parse_number(std::string_view text);
std::optional<std::uint64_t> parse_unsigned(std::string_view text);

}  // namespace vsmc
