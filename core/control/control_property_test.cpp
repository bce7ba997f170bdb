#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "control/controller_test_rig.hpp"

// Random sessions against an unreliable SMC: writes that fail (some of them landing anyway),
// mode keys slow to show automatic mode, a switch that needs "Ftst" for a while, temperatures
// and thermal levels that change between and during operations. After every operation the
// engine's bookkeeping must match what it did to the hardware.
namespace {

constexpr int kSequences = 3000;
constexpr int kLongestSequence = 24;

std::optional<std::int64_t> fan_of(std::string_view key, std::string_view upper, std::string_view lower) {
    if (key.size() != 4 || key[0] != 'F' || key[1] < '0' || key[1] > '9') return std::nullopt;
    if (key.substr(2) != upper && key.substr(2) != lower) return std::nullopt;
    return key[1] - '0';
}
std::optional<std::int64_t> fan_of_mode_key(std::string_view key) { return fan_of(key, "Md", "md"); }
std::optional<std::int64_t> fan_of_target_key(std::string_view key) { return fan_of(key, "Tg", "Tg"); }

class Session {
public:
    explicit Session(unsigned seed) : random(seed), rig(build_machine()) {
        install_faults();
        rig.on_sleep = [this] {
            if (chance(0.02)) vary_climate();
        };
    }

    // Runs the session; returns the first broken rule, if any.
    std::optional<std::string> run() {
        const int length = 1 + static_cast<int>(random() % kLongestSequence);
        for (int step = 0; step < length; ++step) {
            if (chance(0.5)) vary_climate();
            const std::set<std::int64_t> before = rig.controller.controlled;
            const std::size_t first_call = rig.smc().calls.size();
            const int op = static_cast<int>(random() % 5);
            std::string name;
            FanResult<void> result;
            switch (op) {
                case 0: {
                    const std::int64_t id =
                        chance(0.1) ? (chance(0.5) ? -1 : fan_count) : static_cast<std::int64_t>(random() % fan_count);
                    const double rpm = any_speed(id);
                    name = "set_until(" + std::to_string(id) + ", " + std::to_string(rpm) + ")";
                    result = rig.controller.set_until(id, rpm, std::nullopt);
                    break;
                }
                case 1: {
                    const double rpm = any_speed();
                    name = "set_all(" + std::to_string(rpm) + ")";
                    result = rig.controller.set_all(rpm);
                    break;
                }
                case 2: {
                    const std::optional<double> ceiling = chance(0.3) ? std::nullopt : std::optional(any_speed());
                    name = "update_ceiling(" + (ceiling ? std::to_string(*ceiling) : "none") + ")";
                    result = rig.controller.update_ceiling(ceiling);
                    break;
                }
                case 3:
                    name = "check_safety";
                    result = rig.controller.check_safety();
                    break;
                default: name = "restore"; result = rig.controller.restore();
            }
            if (auto broken = check(before, first_call, op == 4 && result.has_value())) {
                return "step " + std::to_string(step) + " " + name + ": " + *broken;
            }
        }
        return std::nullopt;
    }

private:
    std::mt19937_64 random;
    int fan_count = 2;
    bool has_ftst = true;
    double mode_fault_rate = 0;
    double mode_read_fault_rate = 0;
    int longest_lag = 0;
    double ftst_delay = -1;  // below 0: the switch does not depend on "Ftst"
    std::optional<double> ftst_set_at;
    std::vector<std::pair<double, double>> limits;
    ControllerRig rig;

    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; }
    double uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); }

    FakeHardware build_machine() {
        const bool apple = chance(0.6);
        const double pick = uniform(0, 1);
        fan_count = pick < 0.8 ? 2 : pick < 0.9 ? 1 : 3;
        FakeHardware smc = apple ? FakeHardware::apple_silicon(fan_count) : FakeHardware::intel_like(fan_count);
        has_ftst = apple ? chance(0.85) : chance(0.2);
        if (has_ftst)
            smc.set_ui8("Ftst", 0);
        else
            smc.erase("Ftst");
        for (int id = 0; id < fan_count; ++id) {
            double minimum = std::round(uniform(500, 2500));
            double maximum = minimum + std::round(uniform(300, 6000));
            if (chance(0.03)) minimum = 0;
            if (apple && chance(0.03)) maximum = 25000;
            limits.emplace_back(minimum, maximum);
            const std::string id_text = std::to_string(id);
            if (apple) {
                smc.set_flt("F" + id_text + "Mn", minimum);
                smc.set_flt("F" + id_text + "Mx", maximum);
            } else {
                smc.set_fpe2("F" + id_text + "Mn", minimum);
                smc.set_fpe2("F" + id_text + "Mx", maximum);
            }
        }
        mode_fault_rate = std::array{0.0, 0.1, 0.3, 0.6}[random() % 4];
        longest_lag = std::array{0, 3, 10, 60}[random() % 4];
        mode_read_fault_rate = std::array{0.0, 0.0, 0.05, 0.2}[random() % 4];
        if (has_ftst && chance(0.3)) ftst_delay = uniform(0, 12);
        return smc;
    }

    void install_faults() {
        rig.smc().write_fault = [this](std::string_view key, double value) -> std::optional<FakeHardware::WriteFault> {
            const std::string refused = std::string(key) + " SMC 응답 오류 (0x82)";
            if (key == "Ftst") {
                std::optional<FakeHardware::WriteFault> fault;
                if (chance(0.1)) fault = FakeHardware::WriteFault{refused, chance(0.3)};
                if (!fault || fault->applied) {
                    if (value == 1 && !ftst_set_at) ftst_set_at = rig.now;
                    if (value == 0) ftst_set_at.reset();
                }
                return fault;
            }
            if (fan_of_mode_key(key)) {
                if (value == 1 && ftst_delay >= 0 && (!ftst_set_at || rig.now - *ftst_set_at < ftst_delay)) {
                    return FakeHardware::WriteFault{refused, false};
                }
                if (chance(mode_fault_rate)) return FakeHardware::WriteFault{refused, chance(0.3)};
                return std::nullopt;
            }
            if (chance(0.1)) return FakeHardware::WriteFault{refused, chance(0.3)};
            return std::nullopt;
        };
        rig.smc().read_fault = [this](std::string_view key) -> std::optional<std::string> {
            if (fan_of_mode_key(key) && chance(mode_read_fault_rate))
                return std::string(key) + " 접근 실패 (0xe00002d8)";
            return std::nullopt;
        };
        // Only the way back to automatic mode is slow: a lag on the way to manual mode, with a
        // lost write of 0 behind it, would show automatic mode for a fan that is manual, and no
        // reader of the key could tell.
        rig.smc().lag_rule = [this](std::string_view key, double value) {
            if (!fan_of_mode_key(key) || value != 0 || longest_lag == 0) return 0;
            return static_cast<int>(random() % (longest_lag + 1));
        };
    }

    void vary_climate() {
        const double pick = uniform(0, 1);
        if (pick < 0.08) {
            rig.smc().erase("Tp01");
        } else {
            rig.smc().set_flt("Tp01", std::round(uniform(30, 96) * 4) / 4);
        }
        if (chance(0.05)) rig.smc().erase("Te05");
        const double level = uniform(0, 1);
        rig.level = level < 0.7 ? 0 : level < 0.9 ? 1 : level < 0.97 ? 2 : 3;
    }

    // A speed of every kind, mostly within the limits of the given fan (or of any fan).
    double any_speed(std::int64_t id = -1) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        const std::size_t fan = id >= 0 && id < fan_count ? static_cast<std::size_t>(id) : random() % limits.size();
        const auto& [minimum, maximum] = limits[fan];
        switch (random() % 12) {
            case 0: return std::array{nan, inf, -inf, -1500.0, 0.0, 20000.5, 1e300}[random() % 7];
            case 1: return minimum;
            case 2: return maximum;
            case 3: return minimum - 0.5;
            case 4: return maximum + 0.5;
            case 5:
            case 6: return std::round(uniform(0, 8000));
            default: return std::round(uniform(minimum, maximum));
        }
    }

    std::optional<std::string> check(const std::set<std::int64_t>& before, std::size_t first_call, bool restored_ok) {
        auto& controller = rig.controller;
        const auto& calls = rig.smc().calls;
        const std::set<std::int64_t>& after = controller.controlled;

        // What this operation did, fan by fan, from the recorded calls.
        std::set<std::int64_t> switched;        // a write of 1 to the mode key
        std::set<std::int64_t> released_since;  // a write of 0 after the last write of 1
        std::set<std::int64_t> switched_ok;     // a successful write of 1 so far
        std::map<std::int64_t, std::optional<double>> last_mode_read;
        for (std::size_t i = first_call; i < calls.size(); ++i) {
            const auto& call = calls[i];
            if (call.write) {
                if (const auto fan = fan_of_mode_key(call.key)) {
                    if (call.value != 0 && call.value != 1) return "mode write of " + std::to_string(call.value);
                    if (call.value == 1) {
                        switched.insert(*fan);
                        released_since.erase(*fan);
                        if (call.ok) switched_ok.insert(*fan);
                    } else {
                        released_since.insert(*fan);
                    }
                } else if (const auto target_fan = fan_of_target_key(call.key)) {
                    const double v = call.value;
                    const auto& [minimum, maximum] = limits[*target_fan];
                    if (!std::isfinite(v) || v < minimum || v > maximum || v > 20000 || v <= 0 ||
                        (controller.ceiling && v > *controller.ceiling)) {
                        return "target " + std::to_string(v) + " reached " + call.key;
                    }
                    if (!switched_ok.contains(*target_fan)) return "target written before the switch";
                } else if (call.key == "Ftst") {
                    if (call.value != 0 && call.value != 1) return "Ftst write of " + std::to_string(call.value);
                } else {
                    return "unexpected write to " + call.key;
                }
            } else if (const auto fan = fan_of_mode_key(call.key)) {
                last_mode_read[*fan] = call.ok ? call.read_value : std::nullopt;
            }
        }

        // Exactly the fans it switched and has not yet seen back in automatic mode.
        for (const std::int64_t id : after) {
            if (!before.contains(id) && !switched.contains(id))
                return "fan " + std::to_string(id) + " listed unswitched";
        }
        std::set<std::int64_t> candidates = before;
        candidates.insert(switched.begin(), switched.end());
        for (const std::int64_t id : candidates) {
            const auto read = last_mode_read.find(id);
            const bool seen_automatic = read != last_mode_read.end() && read->second && *read->second != 1;
            if (!after.contains(id) && !seen_automatic) return "fan " + std::to_string(id) + " dropped unconfirmed";
            if (after.contains(id) && released_since.contains(id) && seen_automatic) {
                return "fan " + std::to_string(id) + " kept though seen automatic";
            }
        }

        // A fan the engine does not list is never left in manual mode, and "Ftst" is never
        // left set without the engine knowing.
        for (std::int64_t id = 0; id < fan_count; ++id) {
            if (after.contains(id)) continue;
            const std::string id_text = std::to_string(id);
            const auto mode = rig.smc().stored("F" + id_text + "md") ? rig.smc().stored("F" + id_text + "md")
                                                                     : rig.smc().stored("F" + id_text + "Md");
            if (mode == 1) return "fan " + id_text + " left manual";
        }
        if (has_ftst && rig.smc().stored("Ftst") != 0 && !controller.ftst_engaged) return "Ftst left set";

        if (restored_ok) {
            if (!after.empty() || controller.restoring || controller.ftst_engaged || !controller.targets.empty()) {
                return "restore succeeded with state left";
            }
            if (has_ftst && rig.smc().stored("Ftst") != 0) return "Ftst not cleared";
        }
        return std::nullopt;
    }
};

TEST(ControlProperty, RandomSessionsKeepTheBookkeepingTrue) {
    int failures = 0;
    for (unsigned seed = 1; seed <= kSequences && failures < 5; ++seed) {
        Session session(seed);
        if (auto broken = session.run()) {
            ADD_FAILURE() << "seed " << seed << ", " << *broken;
            ++failures;
        }
    }
}

}  // namespace
