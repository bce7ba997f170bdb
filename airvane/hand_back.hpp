#pragma once

// The two ways a serving helper hands fans back to automatic control outside its serve loop:
// at start-up, what a helper that died left behind; at teardown, everything it holds.

#include <functional>
#include <optional>

#include "fan_error.hpp"
#include "manual_record.hpp"

inline constexpr double kTeardownRetryPause = 1.0;

// Of the fans the dead helper's record lists, takes over every one not seen automatic, with its
// "Ftst", and restores them. Only a listed fan whose mode reads automatic is no longer the dead
// helper's: it is left alone, as is every fan the record does not list. A mode that cannot be
// read, or a mode key not found, proves nothing (one failed SMC call must not leave a fan manual
// for good): that fan is taken over too, written back to automatic where its key is known, and
// kept until a read confirms it. A failed restore leaves the controller restoring, so that the
// caller's later checks retry it.
template <typename Controller>
FanResult<void> take_back_recorded_fans(Controller& controller, const ManualRecord& record) {
    for (const auto id : record.fans) {
        const auto key = controller.mode_key(id);
        const auto mode = key ? controller.number(*key) : std::nullopt;
        if (!mode || *mode == 1) controller.controlled.insert(id);
    }
    controller.ftst_engaged = record.ftst;
    return controller.restore();
}

// There is no retry limit: leaving a fan in manual mode is worse than a helper that keeps
// trying, once a second, for as long as it takes.
template <typename Controller>
void restore_until_automatic(Controller& controller, const std::function<void(double)>& sleep) {
    while (!controller.controlled.empty() || controller.ftst_engaged) {
        if (controller.restore()) break;
        sleep(kTeardownRetryPause);
    }
}
