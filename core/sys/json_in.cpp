#include "sys/json_in.hpp"

#include <set>
#include <string>
#include <vector>

namespace {

bool json_text_acceptable(std::string_view text) {
    return text.find('\0') == std::string_view::npos && !text.starts_with("\xEF\xBB\xBF");
}

}  // namespace

std::optional<nlohmann::json> parse_json_strictly(std::string_view text) {
    if (!json_text_acceptable(text)) return std::nullopt;
    using Event = nlohmann::json::parse_event_t;
    std::vector<std::set<std::string>> keys_per_object;
    bool repeated_key = false;
    const auto watch_keys = [&](int, Event event, nlohmann::json& parsed) {
        if (event == Event::object_start) {
            keys_per_object.emplace_back();
        } else if (event == Event::object_end) {
            if (!keys_per_object.empty()) keys_per_object.pop_back();
        } else if (event == Event::key && !keys_per_object.empty()) {
            if (!keys_per_object.back().insert(parsed.get<std::string>()).second) repeated_key = true;
        }
        return true;
    };
    auto value = nlohmann::json::parse(text.begin(), text.end(), watch_keys, false);
    if (value.is_discarded() || repeated_key) return std::nullopt;
    return value;
}
