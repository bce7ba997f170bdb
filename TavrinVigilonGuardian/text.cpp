#include "text.hpp"

#include <cstdint>

namespace {

// Length of the UTF-8 sequence starting at `pos` and its code point, or 0 when it is malformed.
std::size_t decodeAt(std::string_view s, std::size_t pos, char32_t& out) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t lead = byte(pos);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        out = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07u, minimum = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > s.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t next = byte(pos + i);
        if ((next & 0xC0u) != 0x80u) return 0;
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    out = value;
    return length;
}

template <typename Separator>
std::vector<std::string> splitAt(std::string_view text, Separator isSeparator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t c = 0;
        std::size_t length = decodeAt(text, pos, c);
        if (length == 0) length = 1;  // callers pass valid text; a stray byte stays in its part
        if (isSeparator(c)) {
            if (pos > start) parts.emplace_back(text.substr(start, pos - start));
            start = pos + length;
        }
        pos += length;
    }
    if (pos > start) parts.emplace_back(text.substr(start, pos - start));
    return parts;
}

template <typename Strip>
std::string trimWhere(std::string_view text, Strip strip) {
    std::size_t begin = text.size();
    std::size_t end = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t c = 0;
        std::size_t length = decodeAt(text, pos, c);
        if (length == 0) length = 1, c = 0xFFFD;
        if (!strip(c)) {
            if (begin == text.size()) begin = pos;
            end = pos + length;
        }
        pos += length;
    }
    if (begin == text.size()) return {};
    return std::string(text.substr(begin, end - begin));
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        char32_t c = 0;
        const std::size_t length = decodeAt(bytes, pos, c);
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

bool isLineBreak(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isBlank(char32_t c) {
    return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// A CR LF pair yields an empty piece between CR and LF, which is dropped with the other empty lines.
std::vector<std::string> splitLines(std::string_view text) { return splitAt(text, isLineBreak); }

std::vector<std::string> splitFields(std::string_view text) { return splitAt(text, isBlank); }

std::string trimBlanks(std::string_view text) { return trimWhere(text, isBlank); }

std::string trimBlanksAndLineBreaks(std::string_view text) {
    return trimWhere(text, [](char32_t c) { return isBlank(c) || isLineBreak(c); });
}
