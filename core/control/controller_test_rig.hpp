#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "control/fake_hardware.hpp"
#include "control/fan_controller.hpp"

// The message of a failed operation, or a marker that it succeeded (never a valid message).
inline std::string error_of(const FanResult<void>& result) {
    return result ? std::string("(succeeded)") : result.error().message;
}

// A controller over the in-memory SMC with a hand-driven clock, thermal level and sleeper:
// every sleep is recorded and moves the clock on by its length, then runs an optional hook
// through which a test changes the machine while the engine waits.
struct ControllerRig {
    double now = 1000.0;
    std::int64_t level = 0;
    int thermal_reads = 0;
    bool clock_moves_with_sleep = true;
    std::vector<double> sleeps;
    std::function<void()> on_sleep;
    FanController<FakeHardware> controller;

    explicit ControllerRig(FakeHardware smc)
        : controller(std::move(smc), FanSystem{.thermal_state =
                                                   [this] {
                                                       ++thermal_reads;
                                                       return level;
                                                   },
                                               .sleep =
                                                   [this](double seconds) {
                                                       sleeps.push_back(seconds);
                                                       if (clock_moves_with_sleep) now += seconds;
                                                       if (on_sleep) on_sleep();
                                                   },
                                               .continuous_seconds = [this] { return now; }}) {}

    ControllerRig(const ControllerRig&) = delete;
    ControllerRig& operator=(const ControllerRig&) = delete;

    FakeHardware& smc() { return controller.hardware; }

    // The keys and values of every write since the start, in order.
    std::vector<std::pair<std::string, double>> writes() const {
        std::vector<std::pair<std::string, double>> list;
        for (const auto& call : controller.hardware.calls) {
            if (call.write) list.emplace_back(call.key, call.value);
        }
        return list;
    }
};
