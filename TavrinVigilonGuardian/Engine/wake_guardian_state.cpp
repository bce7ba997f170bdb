#include "Engine/wake_guardian_state.hpp"

#include "Engine/json_record.hpp"

#include <chrono>

WakeGuardianState WakeGuardianState::idle(std::optional<std::string> reason, std::optional<std::string> error,
                                          double now) {
    WakeGuardianState state;
    state.schemaVersion = 1;
    state.active = false;
    state.lastUpdated = now;
    state.stopReason = std::move(reason);
    state.error = std::move(error);
    return state;
}

double WakeGuardianState::wallClockNow() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count();
}

std::string encodeJSON(const WakeGuardianState& state) {
    JsonObjectWriter out;
    out.addInteger("schemaVersion", state.schemaVersion);
    out.addBool("active", state.active);
    if (state.startedAt) out.addNumber("startedAt", *state.startedAt);
    if (state.expiresAt) out.addNumber("expiresAt", *state.expiresAt);
    if (state.startedUptime) out.addNumber("startedUptime", *state.startedUptime);
    if (state.deadlineUptime) out.addNumber("deadlineUptime", *state.deadlineUptime);
    if (state.bootTime) out.addInteger("bootTime", *state.bootTime);
    out.addNumber("lastUpdated", state.lastUpdated);
    if (state.stopReason) out.addString("stopReason", *state.stopReason);
    if (state.error) out.addString("error", *state.error);
    if (state.coolingRequired) out.addBool("coolingRequired", *state.coolingRequired);
    if (state.thermalLimit) out.addInteger("thermalLimit", *state.thermalLimit);
    return out.finish();
}

std::optional<WakeGuardianState> decodeGuardianState(std::string_view text) {
    return decodeRecord(text, [](const JsonRecordReader& in) -> std::optional<WakeGuardianState> {
        WakeGuardianState state;
        state.schemaVersion = in.requiredInteger("schemaVersion");
        state.active = in.requiredBool("active");
        state.startedAt = in.optionalNumber("startedAt");
        state.expiresAt = in.optionalNumber("expiresAt");
        state.startedUptime = in.optionalNumber("startedUptime");
        state.deadlineUptime = in.optionalNumber("deadlineUptime");
        state.bootTime = in.optionalInteger("bootTime");
        state.lastUpdated = in.requiredNumber("lastUpdated");
        state.stopReason = in.optionalString("stopReason");
        state.error = in.optionalString("error");
        state.coolingRequired = in.optionalBool("coolingRequired");
        state.thermalLimit = in.optionalInteger("thermalLimit");
        return state;
    });
}
