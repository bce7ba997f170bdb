#pragma once

// Manual control: one fan, both fans, and the speed ceiling. Included by fan_controller.hpp.

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>

#include "control/fan_controller.hpp"

namespace fan_control_detail {

inline constexpr double kSwitchWindow = 10.0;  // seconds of the injected clock
inline constexpr int kSwitchRetries = 100;
inline constexpr double kRetryPause = 0.1;
inline constexpr double kStartGateCelsius = 85.0;
inline constexpr double kAbortGateCelsius = 90.0;
inline constexpr double kSpeedLimit = 20000.0;  // largest plausible fan maximum and ceiling
inline constexpr std::int64_t kHottestAllowedLevel = 1;

// Limits the engine trusts enough to drive a fan by: both known, ordered, positive and
// plausible, and a mode reading that shows who holds the fan.
inline bool has_sane_limits(const Fan& fan) {
    return fan.minimum && fan.maximum && *fan.maximum <= kSpeedLimit && *fan.minimum > 0 &&
           *fan.maximum > *fan.minimum && fan.mode.has_value();
}

// A temperature that is known and under the limit.
inline bool cooler_than(std::optional<double> celsius, double limit) { return celsius && *celsius < limit; }

// A key's value for a message: its number truncated to an integer, or that it was unreadable.
inline std::string value_text(std::optional<double> value) {
    if (!value) return "읽기 실패";
    if (const std::optional<std::int64_t> whole = truncated(*value)) return std::to_string(*whole);
    return "읽기 실패";
}

}  // namespace fan_control_detail

template <FanHardware H>
FanResult<void> FanController<H>::set_until(std::int64_t id, double rpm, std::optional<double> deadline) {
    using namespace fan_control_detail;

    // No new work while a return to automatic control is unconfirmed.
    if (restoring) return fan_error("자동 제어 복귀를 확인하는 중입니다.");

    // The deadline of the switch.
    const double until = deadline ? *deadline : clock() + kSwitchWindow;

    // The inventory, read now.
    auto inventory = fans();
    if (!inventory) return std::unexpected(inventory.error());

    // The fan, its mode key and its limits.
    const auto found =
        std::find_if(inventory->begin(), inventory->end(), [id](const Fan& fan) { return fan.id == id; });
    if (found == inventory->end()) return fan_error("팬의 허용 RPM 범위를 벗어났습니다.");
    const Fan& fan = *found;
    const std::optional<std::string> key = mode_key(id);
    if (!key || !has_sane_limits(fan)) return fan_error("팬의 허용 RPM 범위를 벗어났습니다.");

    // The requested speed within the limits.
    if (!std::isfinite(rpm) || rpm < *fan.minimum || rpm > *fan.maximum) {
        return fan_error("팬의 허용 RPM 범위를 벗어났습니다.");
    }

    // The ceiling applied.
    const double effective = std::min(rpm, ceiling.value_or(*fan.maximum));
    if (!(effective >= *fan.minimum)) return fan_error("팬 속도 상한이 최소 RPM보다 낮습니다.");

    // Start gate.
    if (thermal_source() > kHottestAllowedLevel || !cooler_than(temperature(), kStartGateCelsius)) {
        return fan_error("센서가 정상이고 온도가 85°C 미만일 때 수동 제어할 수 있습니다.");
    }

    // Another program holding the fan, or "Ftst" set by someone else.
    if (!controlled.contains(id)) {
        if (fan.mode == 1) return fan_error("다른 팬 제어 앱을 먼저 자동 모드로 바꾸고 종료해 주세요.");
        if (!ftst_engaged) {
            const std::optional<double> ftst = number("Ftst");
            if (ftst && *ftst != 0) return fan_error("다른 팬 제어 앱을 먼저 자동 모드로 바꾸고 종료해 주세요.");
        }
    }

    // Recorded before anything is written, so that a crash from here on leaves a trace of it.
    if (!controlled.contains(id)) {
        std::set<std::int64_t> grown = controlled;
        grown.insert(id);
        if (!record_manual(grown, ftst_engaged)) return fan_error(kManualRecordFailed);
    }

    // Listed before the switch, so that a failed switch is undone by restore.
    controlled.insert(id);

    // The switch.
    auto engaged = engage(id, *key, effective, until);
    if (engaged) return {};

    // Every controlled fan back to automatic before the error goes out.
    auto restored = restore();
    if (restored) return std::unexpected(engaged.error());
    return fan_error(engaged.error().message + " · 자동 복귀 재시도 중: " + restored.error().message);
}

template <FanHardware H>
FanResult<void> FanController<H>::engage(std::int64_t id, const std::string& key, double rpm, double deadline) {
    using namespace fan_control_detail;

    // The direct switch.
    auto switched = hardware.write(key, 1);
    if (!switched) {
        // Refused: only a readable "Ftst" offers another way.
        if (!number("Ftst")) return std::unexpected(switched.error());

        // Recorded and marked before the write, so that restore (here or in the next
        // process) clears "Ftst" whatever the write did.
        if (!ftst_engaged && !record_manual(controlled, true)) return fan_error(kManualRecordFailed);
        ftst_engaged = true;
        if (auto set = hardware.write("Ftst", 1); !set) return std::unexpected(set.error());
        std::string last_refusal = switched.error().message;

        // Retry the switch until it is taken, the deadline passes or the machine heats up.
        for (int attempt = 0; attempt < kSwitchRetries && !switched; ++attempt) {
            // Deadline.
            if (clock() >= deadline) break;
            // Abort gate.
            if (thermal_source() > kHottestAllowedLevel || !cooler_than(temperature(), kAbortGateCelsius)) {
                return fan_error("온도가 올라 수동 제어를 중단했습니다.");
            }
            // Pause.
            sleeper(kRetryPause);
            // Again.
            switched = hardware.write(key, 1);
            if (!switched) last_refusal = switched.error().message;
        }

        // Still refused: report what the keys read now.
        if (!switched) {
            const std::string mode_text = value_text(number(key));
            const std::string ftst_text = value_text(number("Ftst"));
            return fan_error("10초 동안 수동 전환을 기다렸지만 거부되었습니다. " + last_refusal + " · " + key + "=" +
                             mode_text + ", Ftst=" + ftst_text);
        }
    }

    // The target.
    if (auto written = hardware.write(fan_key(id, "Tg"), rpm); !written) return std::unexpected(written.error());

    // Remembered; a safety notice is over once manual control is taken again.
    targets.insert_or_assign(id, rpm);
    notice.reset();
    return {};
}

template <FanHardware H>
FanResult<void> FanController<H>::set_all(double rpm) {
    using namespace fan_control_detail;

    // The inventory.
    auto inventory = fans();
    if (!inventory) return std::unexpected(inventory.error());

    // A speed both fans accept, and neither fan held by another program.
    const auto suits = [&](const Fan& fan) {
        return has_sane_limits(fan) && rpm >= *fan.minimum && rpm <= *fan.maximum &&
               (controlled.contains(fan.id) || fan.mode != 1);
    };
    if (inventory->size() != 2 || !std::isfinite(rpm) || !suits((*inventory)[0]) || !suits((*inventory)[1])) {
        return fan_error("양쪽 팬에 공통으로 적용할 수 없는 RPM이거나 다른 앱이 제어 중입니다.");
    }

    // One deadline for both switches.
    const double deadline = clock() + kSwitchWindow;

    // First fan, then second.
    auto result = set_until((*inventory)[0].id, rpm, deadline);
    if (result) result = set_until((*inventory)[1].id, rpm, deadline);
    if (result) return {};

    // A failure hands everything back.
    if (auto restored = restore(); !restored) return std::unexpected(restored.error());
    return result;
}

template <FanHardware H>
FanResult<void> FanController<H>::update_ceiling(std::optional<double> requested) {
    using namespace fan_control_detail;

    // Unchanged: nothing to read.
    if (requested.has_value() == ceiling.has_value() && (!requested || *requested == *ceiling)) return {};

    // The inventory.
    auto inventory = fans();
    if (!inventory) return std::unexpected(inventory.error());

    // Clearing never raises running targets.
    if (!requested) {
        ceiling.reset();
        return {};
    }

    // A ceiling every fan can run under.
    const double limit = *requested;
    const bool valid = std::isfinite(limit) && limit <= kSpeedLimit && !inventory->empty() &&
                       std::all_of(inventory->begin(), inventory->end(),
                                   [limit](const Fan& fan) { return has_sane_limits(fan) && *fan.minimum <= limit; });
    if (!valid) return fan_error("팬 속도 상한이 기기의 최소 RPM보다 낮거나 유효하지 않습니다.");

    // Stored, with one deadline for the rewrites.
    ceiling = limit;
    const double deadline = clock() + kSwitchWindow;

    // Targets above the new ceiling come down.
    FanResult<void> result;
    for (const Fan& fan : *inventory) {
        const auto target = targets.find(fan.id);
        if (!controlled.contains(fan.id) || target == targets.end() || !(target->second > limit)) continue;
        result = set_until(fan.id, std::min(limit, *fan.maximum), deadline);
        if (!result) break;
    }
    if (result) return {};

    // A failed rewrite hands everything back; the new ceiling stays.
    if (auto restored = restore(); !restored) return std::unexpected(restored.error());
    return result;
}
