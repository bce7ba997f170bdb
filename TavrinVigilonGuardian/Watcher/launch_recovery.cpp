#include "Watcher/launch_recovery.hpp"

#include "Engine/guardian_context.hpp"
#include "Engine/session.hpp"
#include "Engine/state_store.hpp"

#include <exception>
#include <optional>
#include <string>

namespace {

enum class RecoveryKind { launch, registration };

// The session record as it stands at launch. A record that is there but cannot be trusted,
// read or decoded counts as no record, and is remembered as such.
struct RecordAtLaunch {
    std::optional<WakeGuardianState> record;
    bool unreadable = false;
};

RecordAtLaunch readRecordAtLaunch() {
    try {
        return RecordAtLaunch{.record = readState(), .unreadable = false};
    } catch (const std::exception&) {
        return RecordAtLaunch{.record = std::nullopt, .unreadable = true};
    }
}

// The same boot when the record's boot identity equals the current one, two unknown
// identities counting as equal.
std::string launchReason(GuardianContext& context, const std::optional<WakeGuardianState>& record) {
    const bool recorded = record && record->bootTime.has_value();
    std::int64_t current = 0;
    bool known = true;
    try {
        current = context.system.bootTime();
    } catch (const std::exception&) {
        known = false;
    }
    const bool sameBoot = recorded ? known && *record->bootTime == current : !known;
    return sameBoot ? "restarted" : "rebooted";
}

void recover(RecoveryKind kind) {
    auto& context = guardianContext();

    const auto [record, unreadable] = readRecordAtLaunch();

    const auto storedLimit = record && record->thermalLimit ? wakeThermalLimit(*record->thermalLimit) : std::nullopt;
    context.activeThermalLimit = storedLimit.value_or(WakeThermalLimit::fair);

    // A record that cannot be read may have carried a cooldown that nothing else remembers; it
    // must not be able to clear one by being damaged, so a new watcher then cools down as after
    // a crash. Registration consults only the marker.
    const bool owned = markerExists();
    const bool storedLatch =
        kind == RecoveryKind::launch && (unreadable || (record && record->coolingRequired.value_or(false)));
    if (owned || storedLatch) context.thermalProtection.requireCooldown();

    const auto thermalReason = context.thermalProtection.update(
        context.system.thermalState(), context.system.safetyClock(), context.activeThermalLimit, owned);

    if (owned) {
        const bool thermalRetryPending = record && record->error && record->stopReason == "thermal";
        if (thermalReason == "thermal" || thermalRetryPending) {
            context.pendingThermalStop = true;
            safetyStop("thermal");
            return;
        }
    }
    context.pendingThermalStop = false;

    const std::string reason = kind == RecoveryKind::launch ? launchReason(context, record) : "updated";
    restore(reason, false);
}

}  // namespace

void recoverAtLaunch() { recover(RecoveryKind::launch); }

void recoverForRegistration() { recover(RecoveryKind::registration); }
