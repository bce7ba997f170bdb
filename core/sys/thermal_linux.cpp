#include "thermal_linux.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "thermal.hpp"

namespace fs = std::filesystem;

namespace {

// Millidegrees Celsius. Drivers mark a disabled trip with a temperature below absolute zero;
// such a trip is always "crossed" and must not count.
constexpr long long kAbsoluteZero = -273150;

std::optional<std::string> read_text(const fs::path& file) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
    return text;
}

std::optional<long long> read_number(const fs::path& file) {
    const auto text = read_text(file);
    if (!text || text->empty()) return std::nullopt;
    long long value = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc{} || end != text->data() + text->size()) return std::nullopt;
    return value;
}

std::int64_t level_of(std::string_view type) {
    if (type == "active") return 1;
    if (type == "passive") return 2;
    if (type == "hot" || type == "critical") return 3;
    return 0;
}

// "trip_point_<N>_type" → "trip_point_<N>_temp"; anything else → nothing.
std::optional<std::string> temp_name_for(std::string_view name) {
    constexpr std::string_view prefix = "trip_point_";
    constexpr std::string_view suffix = "_type";
    if (!name.starts_with(prefix) || !name.ends_with(suffix)) return std::nullopt;
    const auto index = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (index.empty() || !std::ranges::all_of(index, [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::string(prefix) + std::string(index) + "_temp";
}

std::int64_t zone_level(const fs::path& zone) {
    const auto temp = read_number(zone / "temp");
    if (!temp) return 0;

    std::int64_t worst = 0;
    std::error_code error;
    for (fs::directory_iterator it(zone, error), end; !error && it != end; it.increment(error)) {
        const auto temp_name = temp_name_for(it->path().filename().string());
        if (!temp_name) continue;
        const auto type = read_text(it->path());
        const auto trip = read_number(zone / *temp_name);
        if (!type || !trip || *trip < kAbsoluteZero) continue;
        if (*temp >= *trip) worst = std::max(worst, level_of(*type));
    }
    return worst;
}

}  // namespace

std::int64_t thermal_state_at(const fs::path& root) {
    std::int64_t worst = 0;
    std::error_code error;
    for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        if (!it->path().filename().string().starts_with("thermal_zone")) continue;
        worst = std::max(worst, zone_level(it->path()));
    }
    return worst;
}

std::int64_t thermal_state() { return thermal_state_at("/sys/class/thermal"); }
