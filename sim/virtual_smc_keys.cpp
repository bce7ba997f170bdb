#include "virtual_smc_keys.hpp"

#include <string>

#include "virtual_smc_types.hpp"

namespace vsmc {

namespace {

// A realistic subset of the sensors of a laptop of each flavour; the offsets give the hot
// spots their usual spread.
const std::vector<Sensor> kAppleSensors = {
    {"Te05", -4.0}, {"Te0S", -2.0}, {"Te09", -3.0}, {"Tp01", 2.0},
    {"Tp05", 3.5},  {"Tp09", 1.0},  {"Tp0D", 4.0},  {"Tp0b", 0.5},
};
const std::vector<Sensor> kIntelSensors = {{"TC0P", 0.0}, {"TC0D", 6.0}, {"TG0P", -3.0}};

Key make(const std::string& type, double value, bool writable) {
    return Key{type, encode_number(type, value).value_or(std::vector<std::uint8_t>(4, 0)), writable, false};
}

}  // namespace

std::optional<Profile> find_profile(std::string_view name) {
    if (name == "apple" || name == "newer") {
        return Profile{std::string(name),           "flt ", "flt ", 'm', name == "apple", kAppleSensors,
                       {{1200, 5779}, {1200, 6241}}};
    }
    if (name == "intel") {
        return Profile{"intel", "fpe2", "sp78", 'M', false, kIntelSensors, {{2160, 5927}, {2000, 6199}}};
    }
    return std::nullopt;
}

std::string fan_key(int fan, std::string_view suffix) { return "F" + std::to_string(fan) + std::string(suffix); }

std::string mode_key(const Profile& profile, int fan) { return "F" + std::to_string(fan) + profile.mode_letter + "d"; }

KeyTable build_keys(const Profile& profile, int fans, double idle_temperature) {
    KeyTable keys;
    keys["FNum"] = make("ui8 ", fans, false);
    for (int fan = 0; fan < fans; ++fan) {
        const auto& limits = profile.fan_limits[static_cast<std::size_t>(fan) % profile.fan_limits.size()];
        keys[fan_key(fan, "Ac")] = make(profile.fan_type, limits.first, false);
        keys[fan_key(fan, "Mn")] = make(profile.fan_type, limits.first, false);
        keys[fan_key(fan, "Mx")] = make(profile.fan_type, limits.second, false);
        keys[fan_key(fan, "Tg")] = make(profile.fan_type, limits.first, true);
        keys[mode_key(profile, fan)] = make("ui8 ", 0, true);
    }
    if (profile.has_ftst) keys["Ftst"] = make("ui8 ", 0, true);
    for (const auto& sensor : profile.sensors) {
        keys[sensor.key] = make(profile.temp_type, idle_temperature + sensor.offset, false);
    }
    return keys;
}

}  // namespace vsmc
