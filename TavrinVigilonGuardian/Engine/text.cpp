#include "Engine/text.hpp"

#include "sys/utf8.hpp"

namespace {

template <typename Separator>
std::vector<std::string> splitAt(std::string_view text, Separator isSeparator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t c = 0;
        std::size_t length = decode_utf8_at(text, pos, c);
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
        std::size_t length = decode_utf8_at(text, pos, c);
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

bool isValidUtf8(std::string_view bytes) { return is_valid_utf8(bytes); }

bool isLineBreak(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

bool isBlank(char32_t c) {
    return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// A CR LF pair yields an empty piece between CR and LF, which is dropped with the other empty lines.
std::vector<std::string> splitLines(std::string_view text) { return splitAt(text, isLineBreak); }

std::vector<std::string> splitFields(std::string_view text) { return splitAt(text, isBlank); }

std::string trimBlanks(std::string_view text) { return trimWhere(text, isBlank); }

std::string trimBlanksAndLineBreaks(std::string_view text) {
    return trimWhere(text, [](char32_t c) { return isBlank(c) || isLineBreak(c); });
}
