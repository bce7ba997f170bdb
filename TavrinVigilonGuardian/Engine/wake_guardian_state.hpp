#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The persisted session record ("state.json"). Optional fields are absent keys in the file.
struct WakeGuardianState {
    std::int64_t schemaVersion = 1;
    bool active = false;
    std::optional<double> startedAt;       // wall clock, seconds since 1970
    std::optional<double> expiresAt;       // wall clock, seconds since 1970
    std::optional<double> startedUptime;   // system uptime
    std::optional<double> deadlineUptime;  // system uptime
    std::optional<std::int64_t> bootTime;  // boot identity at the start
    double lastUpdated = 0;                // wall clock of the last write
    std::optional<std::string> stopReason;
    std::optional<std::string> error;  // a failed restore waiting for its retry
    std::optional<bool> coolingRequired;
    std::optional<std::int64_t> thermalLimit;  // raw WakeThermalLimit

    // A record of no session.
    static WakeGuardianState idle(std::optional<std::string> reason, std::optional<std::string> error,
                                  double now = wallClockNow());

    // Seconds since 1970 on the wall clock.
    static double wallClockNow();

    bool operator==(const WakeGuardianState&) const = default;
};

// Compact JSON; throws GuardianError for a value JSON cannot hold.
std::string encodeJSON(const WakeGuardianState& state);
// No value unless the text is a record object with every required key of the right type.
std::optional<WakeGuardianState> decodeGuardianState(std::string_view text);
