#pragma once

#include <string_view>

// The one rule for JSON text that either program takes from outside (requests, records, replies),
// applied to the raw bytes before any parser sees them: the parser stops silently at a NUL byte
// and skips a leading byte-order mark, so a text with either would be read as something it is
// not. Such a text is refused whole.
bool json_text_acceptable(std::string_view text);
