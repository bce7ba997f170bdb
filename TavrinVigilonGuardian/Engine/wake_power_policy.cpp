#include "Engine/wake_power_policy.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace WakePowerPolicy {

std::optional<std::int64_t> minutes(std::string_view text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    if (negative) value = -value;

    if (std::find(allowedMinutes.begin(), allowedMinutes.end(), value) == allowedMinutes.end()) {
        return std::nullopt;
    }
    if (std::to_string(value) != text) return std::nullopt;
    return value;
}

namespace {

bool recordIsValid(const WakeGuardianState& state, double now, double uptime, std::int64_t bootTime) {
    if (state.schemaVersion != 1) return false;
    if (!state.startedAt || !state.expiresAt || !state.startedUptime || !state.deadlineUptime || !state.bootTime) {
        return false;
    }
    const double startedAt = *state.startedAt;
    const double expiresAt = *state.expiresAt;
    const double startedUptime = *state.startedUptime;
    const double deadlineUptime = *state.deadlineUptime;
    for (const double value : {startedAt, expiresAt, startedUptime, deadlineUptime, now, uptime}) {
        if (!std::isfinite(value)) return false;
    }
    if (startedAt <= 0 || startedUptime < 0) return false;
    if (*state.bootTime < 1 || bootTime < 1) return false;
    const double wallSpan = expiresAt - startedAt;
    const double uptimeSpan = deadlineUptime - startedUptime;
    if (expiresAt <= startedAt || wallSpan > maximumDuration) return false;
    if (deadlineUptime <= startedUptime || uptimeSpan > maximumDuration) return false;
    return std::abs(wallSpan - uptimeSpan) < 1;
}

}  // namespace

std::optional<std::string> stopReason(const WakeGuardianState& state, double now, double uptime, std::int64_t bootTime,
                                      std::optional<std::int64_t> batteryPercent, bool thermalDanger) {
    if (!state.active) return std::nullopt;
    if (thermalDanger) return "thermal";
    if (!recordIsValid(state, now, uptime, bootTime)) return "invalidState";
    if (*state.bootTime != bootTime || uptime < *state.startedUptime) return "rebooted";
    if (now >= *state.expiresAt || uptime >= *state.deadlineUptime) return "expired";
    if (!batteryPercent || *batteryPercent < 0 || *batteryPercent > 100) return "batteryUnavailable";
    if (*batteryPercent <= minimumBattery) return "batteryLow";
    return std::nullopt;
}

bool applySafetyStop(const std::optional<std::string>& reason, bool ownsSetting, bool& pendingThermalStop,
                     const std::function<void(const std::string&)>& restore,
                     const std::function<void()>& requestSleep) {
    if (!ownsSetting) {
        pendingThermalStop = false;
        return false;
    }

    std::string effectiveReason;
    bool thermal = false;
    if (reason == "thermal") {
        pendingThermalStop = true;
        effectiveReason = "thermal", thermal = true;
    } else if (reason && pendingThermalStop) {
        effectiveReason = "thermal", thermal = true;
    } else if (reason) {
        effectiveReason = *reason;
    } else if (pendingThermalStop) {
        effectiveReason = "thermal", thermal = true;
    } else {
        return false;
    }

    restore(effectiveReason);

    pendingThermalStop = false;

    if (thermal) requestSleep();

    return true;
}

}  // namespace WakePowerPolicy
