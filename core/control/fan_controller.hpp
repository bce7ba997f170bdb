#pragma once

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "control/snapshot.hpp"
#include "fan_error.hpp"
#include "smc/fan_hardware.hpp"
#include "smc/smc_value.hpp"
#include "sys/clock.hpp"
#include "sys/thermal.hpp"

// The temperature sensors consulted, in reading order.
inline constexpr std::array<std::string_view, 13> TEMPERATURE_KEYS = {
    "Te05", "Te0S", "Te09", "Te0H", "Tp01", "Tp05", "Tp09", "Tp0D", "Tp0V", "Tp0Y", "Tp0b", "Tp0e", "TC0P"};

namespace fan_control_detail {

inline void sleep_thread(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// The key of one fan: "F", the id in decimal, then the two-letter suffix ("Ac", "md", ...).
inline std::string fan_key(std::int64_t id, std::string_view suffix) {
    return "F" + std::to_string(id) + std::string(suffix);
}

// Truncation toward zero, refused where the double has no signed 64-bit counterpart.
inline std::optional<std::int64_t> truncated(double value) {
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (!std::isfinite(value) || value >= kLimit || value < -kLimit) return std::nullopt;
    return static_cast<std::int64_t>(std::trunc(value));
}

}  // namespace fan_control_detail

inline constexpr char kManualRecordFailed[] = "수동 제어 기록을 저장하지 못했습니다.";

// What the engine asks of the machine besides the SMC: the thermal state level, a sleep and the
// continuous clock. Like every platform seam, a set of functions: the production set reaches the
// machine, a test hands in its own so that the engine runs without real waiting.
struct FanSystem {
    std::function<std::int64_t()> thermal_state;
    std::function<void(double seconds)> sleep;
    std::function<double()> continuous_seconds;

    static FanSystem production() {
        return FanSystem{.thermal_state = ::thermal_state,
                         .sleep = fan_control_detail::sleep_thread,
                         .continuous_seconds = ::continuous_seconds};
    }
};

// The fan control engine. It reads the SMC afresh on every call: nothing about fans or
// temperatures is cached here.
template <FanHardware H>
class FanController {
public:
    H hardware;
    std::optional<double> ceiling;
    std::optional<std::string> notice;
    std::function<std::int64_t()> thermal_source;
    std::function<void(double)> sleeper;
    std::function<double()> clock;
    // Told which fans may be manual and whether "Ftst" may be set, before any write that could
    // make more of that true and after a restore confirms less. Whoever outlives a crash of this
    // process learns from it what to hand back; false refuses the manual switch untouched.
    std::function<bool(const std::set<std::int64_t>& fans, bool ftst)> record_manual = [](const std::set<std::int64_t>&,
                                                                                          bool) { return true; };
    std::set<std::int64_t> controlled;
    std::map<std::int64_t, double> targets;
    bool ftst_engaged = false;
    bool restoring = false;

    explicit FanController(H hw, FanSystem system = FanSystem::production())
        : hardware(std::move(hw)),
          thermal_source(std::move(system.thermal_state)),
          sleeper(std::move(system.sleep)),
          clock(std::move(system.continuous_seconds)) {}

    // Read side.
    std::optional<double> number(std::string_view key);
    std::optional<std::string> mode_key(std::int64_t id);
    std::optional<double> temperature();
    FanResult<std::vector<Fan>> fans();
    FanResult<Snapshot> snapshot();

    // Manual control.
    FanResult<void> set_until(std::int64_t id, double rpm, std::optional<double> deadline);
    FanResult<void> engage(std::int64_t id, const std::string& key, double rpm, double deadline);
    FanResult<void> set_all(double rpm);
    FanResult<void> update_ceiling(std::optional<double> requested);

    // Safety and the return to automatic control.
    FanResult<void> check_safety();
    FanResult<void> restore();
};

template <FanHardware H>
std::optional<double> FanController<H>::number(std::string_view key) {
    auto value = hardware.read(key);
    if (!value) return std::nullopt;
    return value->number();
}

template <FanHardware H>
std::optional<std::string> FanController<H>::mode_key(std::int64_t id) {
    // Machines name the key either way; the first one that is a one-byte "ui8 " wins.
    const auto is_mode_key = [this](const std::string& key) {
        auto value = hardware.read(key);
        return value && value->type == "ui8 " && value->bytes.size() == 1;
    };
    // Nothing is cached: a key that appears later is found at its next use.
    if (std::string key = fan_control_detail::fan_key(id, "Md"); is_mode_key(key)) return key;
    if (std::string key = fan_control_detail::fan_key(id, "md"); is_mode_key(key)) return key;
    return std::nullopt;
}

template <FanHardware H>
std::optional<double> FanController<H>::temperature() {
    std::optional<double> hottest;
    // Every sensor, every time: which ones a machine has is its own business.
    for (const std::string_view key : TEMPERATURE_KEYS) {
        const std::optional<double> reading = number(key);
        // A sensor that reads below 5 or above 125 degrees is broken, not hot or cold.
        if (!reading || *reading < 5.0 || *reading > 125.0) continue;
        if (!hottest || *reading > *hottest) hottest = reading;
    }
    return hottest;
}

template <FanHardware H>
FanResult<std::vector<Fan>> FanController<H>::fans() {
    const std::optional<double> count = number("FNum");
    if (!count || *count != std::trunc(*count) || *count < 0 || *count > 8) {
        return fan_error("팬 개수를 읽지 못했습니다.");
    }

    std::vector<Fan> result;
    const auto total = static_cast<std::int64_t>(*count);
    for (std::int64_t id = 0; id < total; ++id) {
        Fan fan;
        fan.id = id;
        // The current speed must be plausible, or the whole inventory fails.
        const std::optional<double> actual = number(fan_control_detail::fan_key(id, "Ac"));
        if (!actual || *actual < 0 || *actual > 20000) {
            return fan_error("팬 " + std::to_string(id + 1) + "의 RPM을 읽지 못했습니다.");
        }
        fan.actual = *actual;
        // Limits and target exactly as read.
        fan.minimum = number(fan_control_detail::fan_key(id, "Mn"));
        fan.maximum = number(fan_control_detail::fan_key(id, "Mx"));
        fan.target = number(fan_control_detail::fan_key(id, "Tg"));
        // The mode, when the fan has a readable mode key.
        if (const std::optional<std::string> key = mode_key(id)) {
            if (const std::optional<double> mode = number(*key)) {
                fan.mode = fan_control_detail::truncated(*mode);
            }
        }
        result.push_back(std::move(fan));
    }

    return result;
}

template <FanHardware H>
FanResult<Snapshot> FanController<H>::snapshot() {
    Snapshot taken;
    // Without the fans there is no snapshot at all; every other reading may be missing.
    auto inventory = fans();
    if (!inventory) return std::unexpected(inventory.error());
    taken.fans = std::move(*inventory);
    taken.temperature = temperature();
    taken.thermal = thermal_source();
    taken.notice = notice;
    // Ascending: the set's own order.
    taken.controlled.assign(controlled.begin(), controlled.end());
    return taken;
}

// The writing side lives in its own headers; they define members of this template.
#include "control/manual_control.hpp"
#include "control/fan_safety.hpp"
