#include "smc/smc_value.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <limits>

namespace {

std::uint32_t big_endian(const std::vector<std::uint8_t>& b) {
    std::uint32_t v = 0;
    for (std::uint8_t byte : b) v = (v << 8) | byte;
    return v;
}

constexpr double kLargestFloat = 3.4028234663852886e38;
constexpr double kLargestFpe2 = 16383.75;

}  // namespace

std::optional<double> SmcValue::number() const {
    if (type.size() != 4) return std::nullopt;
    const std::size_t n = bytes.size();
    if (type == "flt ") {
        if (n != 4) return std::nullopt;
        // The only little-endian type: the SMC stores floats in the CPU's order.
        std::uint32_t raw = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
                            std::uint32_t{bytes[3]} << 24;
        const double v = std::bit_cast<float>(raw);
        if (!std::isfinite(v)) return std::nullopt;
        return v;
    }
    if (type == "fpe2") {
        if (n != 2) return std::nullopt;
        return big_endian(bytes) / 4.0;
    }
    if (type == "sp78") {
        if (n != 2) return std::nullopt;
        return static_cast<std::int16_t>(big_endian(bytes)) / 256.0;
    }
    if (type == "ui8 ") {
        if (n != 1) return std::nullopt;
        return bytes[0];
    }
    if (type == "ui16") {
        if (n != 2) return std::nullopt;
        return big_endian(bytes);
    }
    if (type == "ui32") {
        if (n != 4) return std::nullopt;
        return big_endian(bytes);
    }
    return std::nullopt;
}

FanResult<std::vector<std::uint8_t>> encode_smc_value(std::string_view type, std::uint32_t size, double value) {
    if (!std::isfinite(value) || value < 0) return fan_error("유효하지 않은 SMC 값입니다.");
    if (value == 0) value = 0;  // negative zero writes as zero

    if (type == "flt ") {
        if (value > kLargestFloat || size != 4) return fan_error("float 범위 오류");
        const auto raw = std::bit_cast<std::uint32_t>(static_cast<float>(value));
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8),
                                         static_cast<std::uint8_t>(raw >> 16), static_cast<std::uint8_t>(raw >> 24)};
    }
    if (type == "fpe2") {
        if (value > kLargestFpe2 || size != 2) return fan_error("RPM 범위 오류");
        // std::round rounds halves away from zero, which is the fixed-point rule.
        const double scaled = std::min(std::round(value * 4), 65535.0);
        const auto raw = static_cast<std::uint16_t>(scaled);
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)};
    }
    if (type == "ui8 ") {
        if (value != std::trunc(value) || value > 255 || size != 1) return fan_error("모드 범위 오류");
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(value)};
    }
    return fan_error("지원하지 않는 쓰기 형식: " + std::string(type));
}
