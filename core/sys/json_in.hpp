#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

// The one entry point for JSON text that either program takes from outside: requests, records,
// replies. A text is refused whole, never half read, when its raw bytes hold what the parser
// would overlook (it stops silently at a NUL byte and skips a leading byte-order mark), when it is
// not one well-formed JSON value with nothing but whitespace after it, or when any object in it,
// at any depth, names a member twice (two readers could then take different values from it).

// The value the text holds, or nothing when the text is refused.
std::optional<nlohmann::json> parse_json_strictly(std::string_view text);
