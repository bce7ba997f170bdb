#pragma once

#include <string>
#include <string_view>
#include <vector>

// Text rules for what external tools print: strict UTF-8 and Unicode white space and line breaks.

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Line breaks: LF, CR, CR LF (one break), VT, FF, U+0085, U+2028, U+2029.
bool isLineBreak(char32_t c);
// Blanks within a line: tab and the Unicode space separators.
bool isBlank(char32_t c);

// Splits valid UTF-8 at line breaks, dropping empty lines.
std::vector<std::string> splitLines(std::string_view text);
// Splits valid UTF-8 at blanks, dropping empty fields.
std::vector<std::string> splitFields(std::string_view text);
// Removes leading and trailing blanks.
std::string trimBlanks(std::string_view text);
// Removes leading and trailing blanks and line breaks.
std::string trimBlanksAndLineBreaks(std::string_view text);
