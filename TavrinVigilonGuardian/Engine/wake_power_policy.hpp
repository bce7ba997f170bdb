#pragma once

#include "Engine/wake_guardian_state.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Every limit the guardian enforces and the pure decisions built on them.
namespace WakePowerPolicy {

// 10, 20, 30, then every whole hour up to 24.
inline constexpr std::array<std::int64_t, 27> allowedMinutes = [] {
    std::array<std::int64_t, 27> values{10, 20, 30};
    for (std::size_t i = 3; i < values.size(); ++i) values[i] = static_cast<std::int64_t>(i - 2) * 60;
    return values;
}();
inline constexpr std::int64_t minimumBattery = 15;
inline constexpr double maximumDuration = 86400;
inline constexpr const char* helperPath = "/Library/PrivilegedHelperTools/app.tavrin.vigilon.guardian";
inline constexpr const char* daemonPath = "/Library/LaunchDaemons/app.tavrin.vigilon.guardian.plist";
inline constexpr const char* daemonLabel = "app.tavrin.vigilon.guardian";

// The minutes a text names, when it is exactly the plain decimal form of an allowed duration.
std::optional<std::int64_t> minutes(std::string_view text);

// Why a session described by `state` must end now, or no value while it may go on.
std::optional<std::string> stopReason(const WakeGuardianState& state, double now, double uptime, std::int64_t bootTime,
                                      std::optional<std::int64_t> batteryPercent, bool thermalDanger);

// Restores with the effective reason and, after a thermal stop, asks the system to sleep.
// Returns whether a stop was carried out; a failed restore keeps a pending thermal stop pending.
bool applySafetyStop(const std::optional<std::string>& reason, bool ownsSetting, bool& pendingThermalStop,
                     const std::function<void(const std::string&)>& restore, const std::function<void()>& requestSleep);

// The SleepDisabled value a power-management report states, or no value when the report is
// missing, ambiguous or malformed.
std::optional<bool> sleepDisabled(std::string_view report);

}  // namespace WakePowerPolicy
