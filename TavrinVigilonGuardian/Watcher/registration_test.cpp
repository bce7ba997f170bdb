#include "Watcher/wake_helper_installation.hpp"
#include "Watcher/registration.hpp"
#include "Engine/sleep_control.hpp"
#include "Engine/state_store.hpp"
#include "Watcher/watcher_test_support.hpp"

namespace {

const std::string clientHash = "0123456789abcdef0123456789abcdef01234567";
const std::string target = "system/app.tavrin.vigilon.guardian";

class RegistrationTest : public WatcherFixture {
protected:
    std::string failure() {
        try {
            registerHelper(501, clientHash);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }

    void leaveSession() { leaveRunningSession(10, WakeThermalLimit::serious); }

    // The daemon of an earlier registration, running.
    void runningDaemon() {
        launchctl.loaded = launchctl.running = true;
        launchctl.onStart = nullptr;
        // The old heartbeat goes stale; only the restarted daemon brings a fresh one.
        writeHeartbeat(machine->uptime - 10);
    }

    bool recordWritten() { return exists(context().installationPath); }
};

TEST_F(RegistrationTest, StepsRunInOrder) {
    leaveSession();
    runningDaemon();
    launchctl.onStart = [this] { writeHeartbeat(machine->uptime); };

    EXPECT_EQ(failure(), "");
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "pmset -a disablesleep 0",  // the session ends first
                         "pmset -g",
                         "launchctl print " + target,
                         "launchctl bootout " + target,
                         "launchctl print " + target,
                         "launchctl bootstrap system " + context().daemonPath,
                         "launchctl kickstart " + target,
                     }));
    EXPECT_EQ(timeouts, (std::vector<double>{2, 2, 2, 20, 2, 2, 2}));

    EXPECT_FALSE(markerExists());
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_EQ(readState()->stopReason, "updated");
    EXPECT_EQ(readState()->thermalLimit, 2);

    EXPECT_EQ(WakeHelperInstallation::load(), (WakeHelperInstallation{3, 501, clientHash, machine->codeHash}));
    struct stat status {};
    ::stat(context().installationPath.c_str(), &status);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    EXPECT_FALSE(context().currentLockFD);
}

TEST_F(RegistrationTest, UnloadedDaemonSkipsTheBootout) {
    EXPECT_EQ(failure(), "");
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "launchctl print " + target,
                         "launchctl print " + target,
                         "launchctl bootstrap system " + context().daemonPath,
                         "launchctl kickstart " + target,
                     }));
    EXPECT_TRUE(recordWritten());
    EXPECT_FALSE(exists(context().statePath)) << "no session, nothing to record";
}

TEST_F(RegistrationTest, UntrustedInstallationChangesNothing) {
    leaveSession();
    ::chmod(context().helperPath.c_str(), 0775);
    EXPECT_EQ(failure(), "Unsafe ownership or permissions: " + context().helperPath);
    ::chmod(context().helperPath.c_str(), 0755);
    ASSERT_EQ(::chown(context().daemonPath.c_str(), 501, 0), 0);
    EXPECT_EQ(failure(), "Unsafe ownership or permissions: " + context().daemonPath);

    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(markerExists());
    EXPECT_FALSE(recordWritten());
}

TEST_F(RegistrationTest, FailedRestoreLeavesTheDaemonAlone) {
    leaveSession();
    runningDaemon();
    machine->pmset.failing = {"set"};
    EXPECT_EQ(failure(), "pmset failed: injected set");
    EXPECT_TRUE(callsOf("launchctl").empty());
    EXPECT_TRUE(launchctl.running);
    EXPECT_FALSE(recordWritten());
    EXPECT_TRUE(markerExists());
}

TEST_F(RegistrationTest, FailedBootoutWritesNoRecord) {
    runningDaemon();
    launchctl.failing = {"bootout"};
    EXPECT_EQ(failure(), "launchctl failed: injected bootout");
    EXPECT_FALSE(recordWritten());
    EXPECT_EQ(callsOf("launchctl").size(), 2u);
}

TEST_F(RegistrationTest, UnsignedGuardianLeavesTheOldDaemonUnloaded) {
    writeText(context().installationPath, "old");
    ::chmod(context().installationPath.c_str(), 0644);
    runningDaemon();
    ownHashFailure = "보호된 코드 서명이 필요합니다.";
    EXPECT_EQ(failure(), "보호된 코드 서명이 필요합니다.");
    EXPECT_EQ(readText(context().installationPath), "old");
    EXPECT_FALSE(launchctl.loaded);
    EXPECT_EQ(callsOf("launchctl"),
              (std::vector<std::string>{"launchctl print " + target, "launchctl bootout " + target}));
}

TEST_F(RegistrationTest, DaemonThatNeverComesUpKeepsTheRecord) {
    launchctl.onStart = nullptr;
    EXPECT_EQ(failure(), "Guardian did not become ready. Sleep settings were not enabled.");
    EXPECT_TRUE(recordWritten());
    EXPECT_EQ(WakeHelperInstallation::load().ownerUID, 501u);
}

TEST_F(RegistrationTest, CorruptOrUnsafeStateDoesNotStopRegistration) {
    writeText(context().statePath, "{broken");
    context().activeThermalLimit = WakeThermalLimit::serious;
    EXPECT_EQ(failure(), "");
    EXPECT_EQ(context().activeThermalLimit, WakeThermalLimit::fair);

    calls.clear();
    launchctl = FakeLaunchctl{};
    launchctl.onStart = [this] { writeHeartbeat(machine->uptime); };
    auto idle = WakeGuardianState::idle("expired", std::nullopt, machine->wallClock);
    idle.thermalLimit = 2;
    atomicWrite(idle, context().statePath, true);
    ::chmod(context().statePath.c_str(), 0664);
    EXPECT_EQ(failure(), "");
    EXPECT_EQ(context().activeThermalLimit, WakeThermalLimit::fair);
}

}  // namespace
