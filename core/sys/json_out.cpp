#include "sys/json_out.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace {

// Fixed notation covers every fan speed and temperature; outside this band a fixed text would
// be long runs of zeros, so exponent notation takes over.
constexpr double kFixedFrom = 1e-5;
constexpr double kFixedBelow = 1e16;

}  // namespace

void append_json_int(std::string& out, std::int64_t value) {
    std::array<char, 24> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    out.append(text.data(), result.ptr);
}

void append_json_double(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // Long enough for the longest shortest-round-trip text in either notation.
    std::array<char, 64> text{};
    const double magnitude = std::fabs(value);
    const bool fixed = magnitude == 0 || (magnitude >= kFixedFrom && magnitude < kFixedBelow);
    const auto format = fixed ? std::chars_format::fixed : std::chars_format::scientific;
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value, format);
    const std::string_view written(text.data(), static_cast<std::size_t>(result.ptr - text.data()));
    out += written;
    // "1e+300" and "1.5e-07" are valid JSON numbers as they stand; only a fixed integral text
    // needs its fraction so that readers see a double.
    if (fixed && written.find('.') == std::string_view::npos) out += ".0";
}

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0x0F];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}
