#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vsmc {

// One key of the device: what it answers to key info and read, and how it may change.
struct Key {
    std::string type;                 // four characters, e.g. "flt "
    std::vector<std::uint8_t> bytes;  // the data size is bytes.size()
    bool writable = false;            // clients may write it (otherwise 0x82)
    bool pinned = false;              // set by hand: the physics leaves it alone
};

using KeyTable = std::map<std::string, Key, std::less<>>;

// One temperature sensor: its key and how far it runs above the die average.
struct Sensor {
    std::string key;
    double offset = 0;
};

// A machine flavour: which keys exist, in which types, and how the fans are switched.
struct Profile {
    std::string name;
    std::string fan_type;    // type of F{n}Ac/Mn/Mx/Tg
    std::string temp_type;   // type of the temperature keys
    char mode_letter = 'm';  // F{n}md or F{n}Md
    bool has_ftst = true;    // manual switching is gated by "Ftst"
    std::vector<Sensor> sensors;
    std::vector<std::pair<double, double>> fan_limits;  // (minimum, maximum) per fan
};

// "apple", "newer" or "intel"; nothing for any other name.
std::optional<Profile> find_profile(std::string_view name);

std::string fan_key(int fan, std::string_view suffix);  // fan_key(0, "Ac") == "F0Ac"
std::string mode_key(const Profile& profile, int fan);

// The keys of a freshly powered machine with `fans` fans, every fan idle in automatic mode.
KeyTable build_keys(const Profile& profile, int fans, double idle_temperature);

}  // namespace vsmc
