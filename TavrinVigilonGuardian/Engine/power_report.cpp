#include "Engine/text.hpp"
#include "Engine/wake_power_policy.hpp"

namespace WakePowerPolicy {

std::optional<bool> sleepDisabled(std::string_view report) {
    if (!isValidUtf8(report)) return std::nullopt;
    const auto lines = splitLines(report);
    if (lines.empty()) return std::nullopt;

    bool header = false;
    std::optional<bool> value;

    for (const auto& line : lines) {
        if (trimBlanks(line) == "System-wide power settings:") {
            header = true;
            continue;
        }
        const auto fields = splitFields(line);
        if (fields.empty()) continue;
        if (!fields[0].starts_with("SleepDisabled")) continue;
        if (fields[0] != "SleepDisabled") return std::nullopt;
        if (fields.size() != 2) return std::nullopt;
        if (value) return std::nullopt;
        if (fields[1] == "0") {
            value = false;
        } else if (fields[1] == "1") {
            value = true;
        } else {
            return std::nullopt;
        }
    }

    if (value) return value;
    if (header) return false;
    return std::nullopt;
}

}  // namespace WakePowerPolicy
