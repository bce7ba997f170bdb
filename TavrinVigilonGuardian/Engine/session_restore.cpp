#include "Engine/wake_power_policy.hpp"
#include "Engine/atomic_write.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/session.hpp"
#include "Engine/sleep_control.hpp"
#include "Engine/state_store.hpp"

#include <cerrno>
#include <exception>
#include <unistd.h>

namespace {

bool storedCooling() {
    try {
        const auto stored = readState();
        return stored && stored->coolingRequired.value_or(false);
    } catch (const std::exception&) {
        return false;
    }
}

void removeMarker(const std::string& markerPath) {
    if (::unlink(markerPath.c_str()) != 0 && errno != ENOENT) {
        throw GuardianError("Cannot remove ownership marker.");
    }
}

// Leaves the record active with the retry message so that the watcher tries again.
void recordRetry(GuardianContext& context, const std::string& reason, bool cooling, const std::exception& error) {
    WakeGuardianState record;
    try {
        const auto stored = readState();
        record = stored ? *stored : WakeGuardianState::idle(std::nullopt, std::nullopt, context.system.wallClock());
    } catch (const std::exception&) {
        record = WakeGuardianState::idle(std::nullopt, std::nullopt, context.system.wallClock());
    }
    record.active = true;
    record.lastUpdated = context.system.wallClock();
    record.stopReason = reason;
    record.coolingRequired = cooling;
    record.error = std::string("복구를 재시도하고 있습니다: ") + error.what();
    try {
        atomicWrite(record, context.statePath, false);
    } catch (const std::exception&) {
        // The marker alone still makes the next restore happen.
    }
}

}  // namespace

void restore(const std::string& reason, bool isExplicit) {
    auto& context = guardianContext();

    if (!markerExists() && !isExplicit) return;

    if (isExplicit && !markerExists()) claimSetting();

    const bool cooling = context.thermalProtection.coolingRequired || storedCooling();

    try {
        setSleepDisabled(false);

        auto record = WakeGuardianState::idle(reason, std::nullopt, context.system.wallClock());
        record.coolingRequired = cooling;
        record.thermalLimit = rawValue(context.activeThermalLimit);
        atomicWrite(record, context.statePath, true);

        if (markerExists()) removeMarker(context.markerPath);
    } catch (const std::exception& error) {
        recordRetry(context, reason, cooling, error);
        throw;
    }
}

void safetyStop(const std::string& reason) {
    auto& context = guardianContext();
    WakePowerPolicy::applySafetyStop(
        reason, markerExists(), context.pendingThermalStop,
        [](const std::string& effectiveReason) { restore(effectiveReason, false); }, [] { requestSleep(); });
}

void persistCoolingLatch() {
    auto& context = guardianContext();

    if (markerExists()) return;

    // Without a session this process's latch is the truth and the record only its copy. A record
    // that cannot be trusted, read or decoded holds no copy worth keeping: it is replaced, so that
    // it neither stops the watcher nor keeps every later session from starting.
    std::optional<WakeGuardianState> stored;
    bool readable = true;
    try {
        stored = readState();
    } catch (const std::exception&) {
        readable = false;
    }

    const bool storedLatch = stored && stored->coolingRequired.value_or(false);
    if (readable && storedLatch == context.thermalProtection.coolingRequired) return;

    auto record = stored ? *stored : WakeGuardianState::idle(std::nullopt, std::nullopt, context.system.wallClock());
    record.coolingRequired = context.thermalProtection.coolingRequired;
    record.thermalLimit = rawValue(context.activeThermalLimit);
    atomicWrite(record, context.statePath, true);
}
