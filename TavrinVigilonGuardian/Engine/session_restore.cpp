#include "Engine/wake_power_policy.hpp"
#include "Engine/atomic_write.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/session.hpp"
#include "Engine/sleep_control.hpp"
#include "Engine/state_store.hpp"

#include <cerrno>
#include <exception>
#include <optional>
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
void recordRetry(GuardianContext& context, const std::string& reason, bool cooling, const std::string& failure) {
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
    record.error = "복구를 재시도하고 있습니다: " + failure;
    try {
        atomicWrite(record, context.statePath, false);
    } catch (const std::exception&) {
        // The marker alone still makes the next restore happen.
    }
}

// What an explicit restore claims lets the watcher finish it should it fail half-way. A claim
// that cannot be written (a full or read-only data directory) leaves the watcher nothing to
// retry from, but must not keep normal sleep from coming back.
void claimIfPossible() {
    try {
        claimSetting();
    } catch (const std::exception&) {
        // The restore goes on without a claim; its own failure, if any, is what gets reported.
    }
}

// Records a session's end once normal sleep is verified back. The marker stands for a setting the
// guardian may still hold, which is no longer so: it goes even when the record could not be
// written, so that a start that failed on a full disk leaves no session behind. Only a cooldown
// that the record could not take keeps it, since a launch that finds the marker latches one.
void recordEnd(GuardianContext& context, const std::string& reason, bool cooling) {
    std::exception_ptr failure;
    try {
        auto record = WakeGuardianState::idle(reason, std::nullopt, context.system.wallClock());
        record.coolingRequired = cooling;
        record.thermalLimit = rawValue(context.activeThermalLimit);
        atomicWrite(record, context.statePath, true);
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (!failure || !cooling) {
        try {
            if (markerExists()) removeMarker(context.markerPath);
        } catch (const std::exception&) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (!failure) return;
    const std::string message = failureDescription(failure);
    if (markerExists()) recordRetry(context, reason, cooling, message);
    throw RestoreNotRecorded(message);
}

}  // namespace

void restore(const std::string& reason, bool isExplicit) {
    auto& context = guardianContext();

    if (!markerExists() && !isExplicit) return;

    if (isExplicit && !markerExists()) claimIfPossible();

    const bool cooling = context.thermalProtection.coolingRequired || storedCooling();

    try {
        setSleepDisabled(false);
    } catch (const std::exception& error) {
        // Without a marker (an explicit claim that could not be written) nobody would retry.
        if (markerExists()) recordRetry(context, reason, cooling, error.what());
        throw;
    }

    recordEnd(context, reason, cooling);
}

void safetyStop(const std::string& reason) {
    auto& context = guardianContext();
    // With normal sleep back, a hot machine is still asked to sleep, whatever the disk did.
    std::optional<RestoreNotRecorded> unrecorded;
    WakePowerPolicy::applySafetyStop(
        reason, markerExists(), context.pendingThermalStop,
        [&](const std::string& effectiveReason) {
            try {
                restore(effectiveReason, false);
            } catch (const RestoreNotRecorded& error) {
                unrecorded = error;
            }
        },
        [] { requestSleep(); });
    if (unrecorded) throw *unrecorded;
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
