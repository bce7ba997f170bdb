#include "Engine/guardian_lock.hpp"
#include "Engine/guardian_test_support_linux.hpp"
#include "Watcher/watch_tick.hpp"
#include "Watcher/watcher_test_support.hpp"

#include <algorithm>
#include <optional>
#include <string>

namespace {

// The data directory remounted read-only in the middle of a session: the tick's safety stops
// still turn SleepDisabled off, once each, and a thermal one still asks the machine to sleep.
TEST_F(WatcherFixture, SafetyStopsStillRestoreSleepOnAReadOnlyDirectory) {
    withGuardianLock([] {});  // the lock file exists once the guardian has run
    leaveRunningSession(30, WakeThermalLimit::fair);
    const auto tick = [this](std::optional<std::int64_t> thermalEvent) {
        return [this, thermalEvent] {
            testing::internal::CaptureStderr();
            watchTick(thermalEvent);
            const auto switches = std::count(calls.begin(), calls.end(), "pmset -a disablesleep 0");
            return testing::internal::GetCapturedStderr() + "SleepDisabled " +
                   (machine->pmset.sleepDisabled ? "1" : "0") + ", switched off " + std::to_string(switches) +
                   ", sleep requests " + std::to_string(machine->pmset.sleepRequests);
        };
    };
    const std::string unwritable = "Vigilon guardian: Cannot write " + context().statePath + ".\n";

    machine->battery = 10;
    EXPECT_EQ(inReadOnlyDirectory(dir.path(), tick(std::nullopt)),
              unwritable + "SleepDisabled 0, switched off 1, sleep requests 0");
    machine->battery = 80;
    EXPECT_EQ(inReadOnlyDirectory(dir.path(), tick(3)), "Vigilon: requested system sleep after a thermal trip.\n" +
                                                            unwritable +
                                                            "SleepDisabled 0, switched off 1, sleep requests 1");
}

}  // namespace
