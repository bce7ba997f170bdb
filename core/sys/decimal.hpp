#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// A user id as both programs accept it on their command lines: an optional '+', then one or
// more ASCII digits and nothing else, not above 4294967295.
std::optional<std::uint32_t> parse_unsigned32(std::string_view text);
