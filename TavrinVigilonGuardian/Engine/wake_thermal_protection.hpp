#pragma once

#include "Engine/wake_thermal_limit.hpp"

#include <cstdint>
#include <optional>
#include <string>

// The thermal trip and cooldown latch: once tripped, a new session needs a full cooldown of
// unbroken nominal readings.
struct WakeThermalProtection {
    static constexpr double pollInterval = 1;
    static constexpr double maximumMonitoringGap = 5;
    static constexpr double cooldownDuration = 120;

    bool coolingRequired = false;
    std::optional<double> lastCheck;
    std::optional<double> nominalSince;

    WakeThermalProtection() = default;
    explicit WakeThermalProtection(bool cooling) : coolingRequired(cooling) {}

    // Whether `thermalState` (0 nominal .. 3 critical; anything else worse than fair) ends a
    // session under `limit`.
    static bool shouldStop(std::int64_t thermalState, WakeThermalLimit limit);

    // One reading at `uptime` (a WakeSafetyClock value). Returns "thermal", "monitoringGap" or
    // "cooldown" while a session must not run, no value when it may.
    std::optional<std::string> update(std::int64_t thermalState, double uptime, WakeThermalLimit limit,
                                      bool monitoringActive);

    void requireCooldown();

    // Whole seconds left before the latch can clear.
    std::int64_t cooldownRemaining(double uptime) const;
};
