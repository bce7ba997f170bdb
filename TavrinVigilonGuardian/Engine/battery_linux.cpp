#include "Engine/platform_readings.hpp"
#include "Engine/platform_readings_linux.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

std::optional<std::string> readWord(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::string word;
    if (!file || !(file >> word)) return std::nullopt;
    return word;
}

std::optional<std::int64_t> readInteger(const std::filesystem::path& path) {
    const auto word = readWord(path);
    if (!word) return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(word->data(), word->data() + word->size(), value);
    if (error != std::errc{} || end != word->data() + word->size()) return std::nullopt;
    return value;
}

std::optional<std::int64_t> ratioPercent(const std::filesystem::path& supply, const char* current,
                                         const char* maximum) {
    const auto now = readInteger(supply / current);
    const auto full = readInteger(supply / maximum);
    if (!now || !full || *full <= 0) return std::nullopt;
    const long double percent = static_cast<long double>(*now) * 100.0L / static_cast<long double>(*full);
    return static_cast<std::int64_t>(std::floor(percent));
}

// The level of one supply when it is the machine's own battery.
std::optional<std::int64_t> internalBatteryLevel(const std::filesystem::path& supply) {
    if (readWord(supply / "type") != "Battery") return std::nullopt;
    std::error_code ignored;
    if (std::filesystem::exists(supply / "scope", ignored) && readWord(supply / "scope") != "System") {
        return std::nullopt;  // a peripheral's battery (mouse, keyboard)
    }
    if (auto capacity = readInteger(supply / "capacity")) return capacity;
    if (auto energy = ratioPercent(supply, "energy_now", "energy_full")) return energy;
    return ratioPercent(supply, "charge_now", "charge_full");
}

}  // namespace

std::optional<std::int64_t> batteryPercentFrom(const std::filesystem::path& powerSupplyRoot) {
    std::error_code error;
    std::vector<std::filesystem::path> supplies;
    for (std::filesystem::directory_iterator it(powerSupplyRoot, error), end; !error && it != end;
         it.increment(error)) {
        supplies.push_back(it->path());
    }
    std::sort(supplies.begin(), supplies.end());
    for (const auto& supply : supplies) {
        if (auto level = internalBatteryLevel(supply)) return level;
    }
    return std::nullopt;
}

std::optional<std::int64_t> batteryPercent() { return batteryPercentFrom("/sys/class/power_supply"); }
