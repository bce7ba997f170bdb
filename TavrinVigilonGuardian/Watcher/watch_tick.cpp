#include "Watcher/watch_tick.hpp"

#include "Engine/wake_power_policy.hpp"
#include "Engine/atomic_write.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/guardian_lock.hpp"
#include "Engine/heartbeat.hpp"
#include "Engine/output_line.hpp"
#include "Engine/session.hpp"
#include "Engine/sleep_control.hpp"
#include "Engine/state_store.hpp"

#include <exception>
#include <string>
#include <unistd.h>

namespace {

constexpr double statusInterval = 3;

// How the session work of a tick ends when it does not fail.
enum class SessionOutcome { finish, endTick };

// Steps of an owned session; any error thrown here sends the tick to its fallback.
SessionOutcome superviseSession(GuardianContext& context, const std::optional<std::string>& thermalReason,
                                bool statusDue) {
    if (context.pendingThermalStop || thermalReason) {
        safetyStop(thermalReason.value_or("thermal"));
        return SessionOutcome::finish;
    }

    // A marker without a live record: nothing tells how long the session may run.
    if (!pathExists(context.statePath)) {
        restore("invalidState", false);
        return SessionOutcome::endTick;
    }

    auto record = readState();
    if (!record) throw GuardianError("Cannot read " + context.statePath + ".");

    if (!record->active) {
        restore("invalidState", false);
        return SessionOutcome::endTick;
    }

    // A restore failed earlier; it is repeated on every tick until it succeeds.
    if (record->error) {
        restore(record->stopReason.value_or("recovery"), false);
        return SessionOutcome::finish;
    }

    const double now = context.system.wallClock();
    const double uptime = context.system.uptime();
    const std::int64_t boot = context.system.bootTime();
    const auto battery = context.system.batteryPercent();
    if (const auto reason = WakePowerPolicy::stopReason(*record, now, uptime, boot, battery, false)) {
        restore(*reason, false);
        return SessionOutcome::finish;
    }

    if (!statusDue) return SessionOutcome::finish;

    if (sleepDisabled()) {
        record->lastUpdated = context.system.wallClock();
        atomicWrite(*record, context.statePath, false);
    } else {
        restore("externalChange", false);
    }
    return SessionOutcome::finish;
}

// Ends an owned session after a failed tick; an error here fails the whole tick.
void fallbackStop(GuardianContext& context, const std::string& failure) {
    if (context.pendingThermalStop) {
        safetyStop("thermal");
    } else {
        restore("invalidState", false);
    }
    writeOutputLine(OutputStream::standardError, "Vigilon safety: ", failure);
}

void finishTick(GuardianContext& context, bool statusDue) {
    persistCoolingLatch();
    if (!statusDue) return;
    const Heartbeat heartbeat{
        .pid = ::getpid(), .bootTime = context.system.bootTime(), .uptime = context.system.uptime()};
    atomicWrite(heartbeat, context.heartbeatPath, false);
    context.lastStatusUpdate = context.system.safetyClock();
}

void tickBody(std::optional<std::int64_t> thermalEvent) {
    auto& context = guardianContext();

    const bool owned = markerExists();
    const std::int64_t thermalState = thermalEvent ? *thermalEvent : context.system.thermalState();

    const auto thermalReason =
        context.thermalProtection.update(thermalState, context.system.safetyClock(), context.activeThermalLimit, owned);

    const bool statusDue = context.system.safetyClock() - context.lastStatusUpdate >= statusInterval;

    if (owned) {
        std::optional<std::string> failure;
        try {
            if (superviseSession(context, thermalReason, statusDue) == SessionOutcome::endTick) return;
        } catch (const RestoreNotRecorded&) {
            // Normal sleep is back: the fallback would only turn it off once more and fail to
            // record that too. The marker that stayed brings the next tick back here.
            throw;
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (failure) fallbackStop(context, *failure);
    }

    finishTick(context, statusDue);
}

}  // namespace

void watchTick(std::optional<std::int64_t> thermalEvent) {
    try {
        withGuardianLock([&] { tickBody(thermalEvent); });
    } catch (const std::exception& error) {
        writeOutputLine(OutputStream::standardError, "Vigilon guardian: ", error.what());
    } catch (...) {
        writeOutputLine(OutputStream::standardError, "Vigilon guardian: ", "Unexpected failure.");
    }
}
