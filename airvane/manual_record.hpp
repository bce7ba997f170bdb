#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

// What a serving helper leaves for its successor in case it dies without its teardown: the
// session directory it made, the fans it may have switched to manual mode and whether it may
// have set "Ftst". The next serving start hands exactly these back.
struct ManualRecord {
    std::string directory;
    std::set<std::int64_t> fans;
    bool ftst = false;

    bool lists_manual() const { return !fans.empty() || ftst; }
    bool operator==(const ManualRecord&) const = default;
};

// One compact JSON object: {"directory":"...","fans":[0,1],"ftst":true}.
std::string encode_manual_record(const ManualRecord& record);

// The record in exactly the form the encoder writes (fans as distinct ids a machine can have,
// no other members, no repeated ones); anything else is not a record of this helper.
std::optional<ManualRecord> decode_manual_record(std::string_view text);

// Whether the path is a session directory of the exact forms this helper creates, and so one
// that a successor may remove: "/var/run/tavrin" or "/var/run/fantavrin." and a session id.
bool is_helper_session_directory(std::string_view path);
