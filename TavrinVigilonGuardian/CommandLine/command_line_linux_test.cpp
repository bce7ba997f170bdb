#include "CommandLine/command_line.hpp"

#include "Engine/guardian_lock.hpp"
#include "Engine/guardian_test_support_linux.hpp"
#include "Engine/state_store.hpp"
#include "Watcher/watcher_test_support.hpp"

#include <unistd.h>

#include <sstream>

namespace {

// No heartbeat can be written to a data directory remounted read-only, so no watcher can show
// itself ready there: the administrator's restore turns SleepDisabled off without waiting for one.
TEST_F(WatcherFixture, RestoreForcesNormalSleepOnAReadOnlyDirectory) {
    withGuardianLock([] {});  // the lock file exists once the guardian has run
    machine->pmset.sleepDisabled = true;
    const auto restoreCommand = [this] {
        std::ostringstream out, err;
        const int status = runCommandLine({"restore"}, 0, out, err);
        return std::to_string(status) + " " + err.str() + "SleepDisabled " +
               (machine->pmset.sleepDisabled ? "1" : "0") + ", launchctl calls " +
               std::to_string(callsOf("launchctl").size());
    };
    EXPECT_EQ(inReadOnlyDirectory(dir.path(), restoreCommand),
              "1 Cannot write " + context().statePath + ".\nSleepDisabled 0, launchctl calls 0");
}

}  // namespace
