#pragma once

// The safety check and the confirmed return to automatic control. Included by
// fan_controller.hpp.

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "control/fan_controller.hpp"

namespace fan_control_detail {

inline constexpr double kTripCelsius = 90.0;
inline constexpr int kConfirmationSleeps = 20;
inline constexpr double kConfirmationPause = 0.05;

}  // namespace fan_control_detail

template <FanHardware H>
FanResult<void> FanController<H>::check_safety() {
    using namespace fan_control_detail;

    // An unconfirmed return to automatic control is retried first.
    if (restoring) return restore();

    // Nothing held, nothing to watch.
    if (controlled.empty()) return {};

    // Sensors, then the platform's level.
    const std::optional<double> celsius = temperature();
    const std::int64_t level = thermal_source();

    // Trip.
    if (level > kHottestAllowedLevel || !celsius || *celsius >= kTripCelsius) {
        notice = "온도 또는 센서 상태 때문에 자동 제어로 복귀했습니다.";
        return restore();
    }

    // All well.
    return {};
}

template <FanHardware H>
FanResult<void> FanController<H>::restore() {
    using namespace fan_control_detail;

    // A fan counts as released once its mode key reads a number other than 1.
    const auto reads_automatic = [this](const std::string& key) {
        const std::optional<double> mode = number(key);
        return mode && *mode != 1;
    };

    // From here until confirmation, no new manual work.
    restoring = true;
    std::vector<std::string> errors;
    const std::set<std::int64_t> held_before = controlled;
    const bool ftst_before = ftst_engaged;

    // Release pass, ascending, over a copy: fans leave the set as they are confirmed.
    for (const std::int64_t id : std::set<std::int64_t>(controlled)) {
        const std::optional<std::string> key = mode_key(id);
        if (!key) {
            errors.emplace_back("팬 모드 키를 읽을 수 없습니다.");
            continue;
        }
        if (auto written = hardware.write(*key, 0); !written) {
            errors.push_back(written.error().message);
            continue;
        }
        if (reads_automatic(*key)) controlled.erase(id);
    }

    // "Ftst" back to 0 if this engine set it.
    if (ftst_engaged) {
        if (auto cleared = hardware.write("Ftst", 0)) {
            ftst_engaged = false;
        } else {
            errors.push_back(cleared.error().message);
        }
    }

    // Confirmation: a pass now and after each short sleep, about a second in all.
    int sleeps = 0;
    while (!controlled.empty()) {
        for (const std::int64_t id : std::set<std::int64_t>(controlled)) {
            const std::optional<std::string> key = mode_key(id);
            if (key && reads_automatic(*key)) controlled.erase(id);
        }
        if (controlled.empty() || sleeps == kConfirmationSleeps) break;
        sleeper(kConfirmationPause);
        ++sleeps;
    }

    // What was handed back is recorded as such. A record that cannot be rewritten still names
    // more than is manual, which only costs the next process a needless look.
    if (controlled != held_before || ftst_engaged != ftst_before) record_manual(controlled, ftst_engaged);

    // Confirmed.
    if (controlled.empty() && !ftst_engaged) {
        targets.clear();
        restoring = false;
        return {};
    }

    // Not confirmed: the state stays as it is so that the next attempt picks it up.
    std::string joined;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (i > 0) joined += ", ";
        joined += errors[i];
    }
    return fan_error("자동 제어 복귀를 확인하지 못했습니다. " + joined);
}
