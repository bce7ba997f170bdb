#include "launch_recovery.hpp"

#include "guardian_context.hpp"
#include "session.hpp"
#include "state_store.hpp"

#include <exception>
#include <optional>
#include <string>

namespace {

enum class RecoveryKind { launch, registration };

// The session record as far as it can be read; every failure counts as no record.
std::optional<WakeGuardianState> recordIfReadable() {
    try {
        return readState();
    } catch (const std::exception&) {
        return std::nullopt;
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

    const auto record = recordIfReadable();

    const auto storedLimit = record && record->thermalLimit ? wakeThermalLimit(*record->thermalLimit) : std::nullopt;
    context.activeThermalLimit = storedLimit.value_or(WakeThermalLimit::fair);

    const bool owned = markerExists();
    const bool storedLatch = kind == RecoveryKind::launch && record && record->coolingRequired.value_or(false);
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
