#include "Watcher/ensure_watcher.hpp"
#include "Watcher/watcher_test_support.hpp"

namespace {

constexpr const char* notReady = "Guardian did not become ready. Sleep settings were not enabled.";

class EnsureWatcherTest : public WatcherFixture {
protected:
    std::string failure() {
        try {
            ensureWatcher();
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }
};

TEST_F(EnsureWatcherTest, RunningFreshWatcherNeedsNoBootstrap) {
    launchctl.loaded = launchctl.running = true;
    writeHeartbeat(machine->uptime - 2);
    EXPECT_EQ(failure(), "");
    EXPECT_EQ(calls, (std::vector<std::string>{"launchctl print system/app.tavrin.vigilon.guardian",
                                               "launchctl kickstart system/app.tavrin.vigilon.guardian"}));
    EXPECT_EQ(timeouts, (std::vector<double>{2, 2}));
    EXPECT_TRUE(sleeps.empty()) << "ready at the first look";
}

TEST_F(EnsureWatcherTest, UnloadedDaemonIsBootstrappedFromItsDefinition) {
    EXPECT_EQ(failure(), "");
    EXPECT_EQ(calls, (std::vector<std::string>{"launchctl print system/app.tavrin.vigilon.guardian",
                                               "launchctl bootstrap system " + context().daemonPath,
                                               "launchctl kickstart system/app.tavrin.vigilon.guardian"}));
    EXPECT_TRUE(launchctl.running);
}

TEST_F(EnsureWatcherTest, ToolFailuresAreThrown) {
    launchctl.failing = {"bootstrap"};
    EXPECT_EQ(failure(), "launchctl failed: injected bootstrap");
    EXPECT_EQ(calls.size(), 2u) << "no kickstart after a failed bootstrap";

    calls.clear();
    launchctl.failing = {"kickstart"};
    EXPECT_EQ(failure(), "launchctl failed: injected kickstart");
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(EnsureWatcherTest, WaitsForTheHeartbeatAtAHundredMilliseconds) {
    launchctl.onStart = nullptr;  // the daemon comes up slowly
    onSleep = [this] {
        if (sleeps.size() == 25) writeHeartbeat(machine->uptime);
    };
    EXPECT_EQ(failure(), "");
    EXPECT_EQ(sleeps.size(), 25u);
    EXPECT_EQ(sleeps.front(), 0.1);
}

TEST_F(EnsureWatcherTest, GivesUpAfterTwelveSecondsOfUptime) {
    launchctl.onStart = nullptr;
    const double started = machine->uptime;
    EXPECT_EQ(failure(), notReady);
    EXPECT_GE(machine->uptime - started, 12 - 1e-9);
    EXPECT_LE(machine->uptime - started, 12.1 + 1e-9);

    // A heartbeat is of no use while the boot identity cannot be read.
    writeHeartbeat(machine->uptime);
    machine->bootIdentity.reset();
    EXPECT_EQ(failure(), notReady);
}

TEST_F(EnsureWatcherTest, UntrustedProgramOrDefinitionIsRefusedBeforeAnyLaunch) {
    ::chmod(context().helperPath.c_str(), 0775);
    EXPECT_EQ(failure(), "Unsafe ownership or permissions: " + context().helperPath);
    ::chmod(context().helperPath.c_str(), 0755);

    ::unlink(context().daemonPath.c_str());
    ::symlink(context().helperPath.c_str(), context().daemonPath.c_str());
    EXPECT_EQ(failure(), "Unsafe ownership or permissions: " + context().daemonPath);
    EXPECT_TRUE(calls.empty());
}

}  // namespace
