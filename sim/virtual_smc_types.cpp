#include "virtual_smc_types.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "smc/smc_value.hpp"

namespace vsmc {

namespace {

std::vector<std::uint8_t> big_endian(std::uint32_t value, std::size_t size) {
    std::vector<std::uint8_t> out(size);
    for (std::size_t i = 0; i < size; ++i) out[size - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
    return out;
}

}  // namespace

std::optional<std::size_t> type_size(std::string_view type) {
    if (type == "flt " || type == "ui32") return 4;
    if (type == "fpe2" || type == "sp78" || type == "ui16") return 2;
    if (type == "ui8 ") return 1;
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> encode_number(std::string_view type, double value) {
    if (!std::isfinite(value)) return std::nullopt;
    if (type == "flt ") {
        const auto raw = std::bit_cast<std::uint32_t>(static_cast<float>(value));
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8),
                                         static_cast<std::uint8_t>(raw >> 16), static_cast<std::uint8_t>(raw >> 24)};
    }
    if (type == "fpe2") {
        if (value < 0 || value > 16383.75) return std::nullopt;
        return big_endian(static_cast<std::uint32_t>(std::round(value * 4)), 2);
    }
    if (type == "sp78") {
        const double scaled = std::round(value * 256);
        if (scaled < -32768 || scaled > 32767) return std::nullopt;
        return big_endian(static_cast<std::uint16_t>(static_cast<std::int16_t>(scaled)), 2);
    }
    const double whole = std::trunc(value);
    if (whole != value || value < 0) return std::nullopt;
    if (type == "ui8 " && value <= 255) return big_endian(static_cast<std::uint32_t>(value), 1);
    if (type == "ui16" && value <= 65535) return big_endian(static_cast<std::uint32_t>(value), 2);
    if (type == "ui32" && value <= 4294967295.0) return big_endian(static_cast<std::uint32_t>(value), 4);
    return std::nullopt;
}

std::optional<double> decode_number(const std::string& type, const std::vector<std::uint8_t>& bytes) {
    return SmcValue{type, bytes}.number();
}

std::string pad_type(std::string_view type) {
    std::string out(type);
    while (out.size() < 4) out.push_back(' ');
    return out;
}

std::string to_hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> from_hex(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint8_t b = 0;
        const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, b, 16);
        if (ec != std::errc{} || end != text.data() + i + 2) return std::nullopt;
        out.push_back(b);
    }
    return out;
}

std::string format_number(double value) {
    if (!std::isfinite(value)) return "null";
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc{}) return "null";
    return std::string(buf, end);
}

std::optional<double> parse_number(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        const auto whole = parse_unsigned(text);
        if (!whole) return std::nullopt;
        return static_cast<double>(*whole);
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace vsmc
