#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fan_error.hpp"

// The value of one SMC key as read: its four-character type text (note the trailing blank
// in "flt " and "ui8 ") and exactly as many bytes as the key's data size.
struct SmcValue {
    std::string type;
    std::vector<std::uint8_t> bytes;

    // The plain number the bytes stand for, or nothing when the type is unknown, the byte
    // count does not fit the type, or the value is not finite.
    std::optional<double> number() const;
};

// The value check and encoding of a write, in the order a write performs them: first the
// value itself (finite, not negative), then the type and the type's range and key size.
FanResult<std::vector<std::uint8_t>> encode_smc_value(std::string_view type, std::uint32_t size, double value);
