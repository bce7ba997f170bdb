#include "Engine/wake_power_policy.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/atomic_write.hpp"
#include "Engine/heartbeat.hpp"
#include "Engine/output_line.hpp"
#include "Engine/session.hpp"
#include "Engine/sleep_control.hpp"
#include "Engine/state_store.hpp"

#include <exception>
#include <string>

namespace {

const char* const thermalRefusal =
    "Thermal protection is active. Keep the Mac ventilated; 120 seconds of continuously nominal readings "
    "are required before restarting.";

void requireFreshWatcher(GuardianContext& context) {
    const auto heartbeat = readHeartbeat(context.heartbeatPath);
    std::int64_t bootIdentity = 0;
    try {
        bootIdentity = context.system.bootTime();
    } catch (const std::exception&) {
        throw GuardianError("Guardian is unavailable.");
    }
    const double uptime = context.system.uptime();
    if (!heartbeat || !heartbeatIsFresh(*heartbeat, bootIdentity, uptime)) {
        throw GuardianError("Guardian is unavailable.");
    }
}

std::optional<std::string> thermalReading(GuardianContext& context, WakeThermalLimit limit) {
    return context.thermalProtection.update(context.system.thermalState(), context.system.safetyClock(), limit,
                                            markerExists());
}

}  // namespace

void start(std::int64_t minutes, WakeThermalLimit thermalLimit) {
    auto& context = guardianContext();

    requireFreshWatcher(context);

    if (markerExists()) throw GuardianError("An active session already exists. Stop it first.");

    if (thermalReading(context, thermalLimit)) {
        persistCoolingLatch();
        throw GuardianError(thermalRefusal);
    }

    if (const auto stored = readState(); stored && stored->coolingRequired.value_or(false)) {
        throw GuardianError(thermalRefusal);
    }

    if (sleepDisabled()) {
        throw GuardianError("SleepDisabled is already enabled outside Vigilon. Restore normal sleep before starting.");
    }

    const double now = context.system.wallClock();
    const double uptime = context.system.uptime();
    const double span = 60.0 * static_cast<double>(minutes);
    const std::int64_t bootIdentity = context.system.bootTime();
    const WakeGuardianState record{
        .schemaVersion = 1,
        .active = true,
        .startedAt = now,
        .expiresAt = now + span,
        .startedUptime = uptime,
        .deadlineUptime = uptime + span,
        .bootTime = bootIdentity,
        .lastUpdated = now,
        .stopReason = std::nullopt,
        .error = std::nullopt,
        .coolingRequired = std::nullopt,
        .thermalLimit = rawValue(thermalLimit),
    };

    if (const auto reason = thermalReading(context, thermalLimit)) {
        persistCoolingLatch();
        throw GuardianError("Cannot start safely: " + *reason);
    }

    if (const auto reason =
            WakePowerPolicy::stopReason(record, now, uptime, bootIdentity, context.system.batteryPercent(), false)) {
        throw GuardianError("Cannot start safely: " + *reason);
    }

    claimSetting();

    context.activeThermalLimit = thermalLimit;

    try {
        atomicWrite(record, context.statePath, true);
        setSleepDisabled(true);
    } catch (const std::exception&) {
        const auto failure = std::current_exception();
        try {
            restore("startFailed", false);
        } catch (const std::exception&) {
            // The marker stays; the watcher retries the restore.
        }
        std::rethrow_exception(failure);
    }

    writeOutputLine(OutputStream::standardOutput, "Started for " + std::to_string(minutes) + " minutes.");
}
