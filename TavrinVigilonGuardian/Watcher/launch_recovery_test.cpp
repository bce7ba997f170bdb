#include "Watcher/launch_recovery.hpp"
#include "Engine/session.hpp"
#include "Engine/sleep_control.hpp"
#include "Engine/state_store.hpp"
#include "Watcher/watcher_test_support.hpp"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class LaunchRecoveryTest : public WatcherFixture {
protected:
    // What a crashed watcher leaves of a running session: marker, record, SleepDisabled on.
    WakeGuardianState leaveSession(std::int64_t boot = 42, WakeThermalLimit limit = WakeThermalLimit::serious) {
        return leaveRunningSession(30, limit, boot, 60);
    }

    WakeGuardianState record() {
        auto state = readState();
        if (!state) throw std::runtime_error("no record");
        return *state;
    }

    void expectEnded(const std::string& reason) {
        EXPECT_FALSE(markerExists());
        EXPECT_FALSE(machine->pmset.sleepDisabled);
        EXPECT_FALSE(record().active);
        EXPECT_EQ(record().stopReason, reason);
    }
};

TEST_F(LaunchRecoveryTest, InterruptedSessionEndsAsRestartedOrRebooted) {
    leaveSession(42);
    recoverAtLaunch();
    expectEnded("restarted");
    EXPECT_EQ(context().activeThermalLimit, WakeThermalLimit::serious);
    EXPECT_EQ(record().thermalLimit, 2);
    // A crash is followed by a full cooldown, in memory and on disk.
    EXPECT_TRUE(context().thermalProtection.coolingRequired);
    EXPECT_EQ(record().coolingRequired, true);
    EXPECT_EQ(machine->pmset.sleepRequests, 0);

    leaveSession(41);
    recoverAtLaunch();
    expectEnded("rebooted");

    // No record to compare with: a reboot, unless the boot identity cannot be read either.
    leaveSession();
    ::unlink(context().statePath.c_str());
    recoverAtLaunch();
    expectEnded("rebooted");
    EXPECT_EQ(context().activeThermalLimit, WakeThermalLimit::fair);

    leaveSession();
    ::unlink(context().statePath.c_str());
    machine->bootIdentity.reset();
    recoverAtLaunch();
    expectEnded("restarted");
}

TEST_F(LaunchRecoveryTest, WithoutMarkerNothingChangesButTheLatchIsReloaded) {
    auto idle = WakeGuardianState::idle("userStopped", std::nullopt, machine->wallClock);
    idle.coolingRequired = true;
    idle.thermalLimit = 2;
    atomicWrite(idle, context().statePath, true);
    const std::string before = readText(context().statePath);
    machine->pmset.sleepDisabled = true;  // someone else's setting

    recoverAtLaunch();
    EXPECT_EQ(readText(context().statePath), before);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(machine->pmset.sleepDisabled);
    EXPECT_TRUE(context().thermalProtection.coolingRequired);
    EXPECT_EQ(context().activeThermalLimit, WakeThermalLimit::serious);
    EXPECT_FALSE(context().pendingThermalStop);
}

TEST_F(LaunchRecoveryTest, ThermalRetryStaysThermalAcrossARestart) {
    leaveSession();
    machine->pmset.failing = {"set"};
    context().pendingThermalStop = true;
    EXPECT_THROW(safetyStop("thermal"), GuardianError);
    ASSERT_EQ(record().stopReason, "thermal");
    ASSERT_TRUE(record().error);

    // A new watcher process: nothing in memory says thermal, only the retry record.
    replaceGuardianContextForTesting(GuardianContext(dir.path(), context().system));
    machine->pmset.failing.clear();
    CaptureStderr();
    recoverAtLaunch();
    EXPECT_EQ(GetCapturedStderr(), "Vigilon: requested system sleep after a thermal trip.\n");
    expectEnded("thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
    EXPECT_FALSE(context().pendingThermalStop);
}

TEST_F(LaunchRecoveryTest, HotMachineAtLaunchStopsThermally) {
    leaveSession(42, WakeThermalLimit::fair);
    machine->thermal = 1;
    CaptureStderr();
    recoverAtLaunch();
    GetCapturedStderr();
    expectEnded("thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
}

TEST_F(LaunchRecoveryTest, FailedRestoreAtLaunchIsTheRecoveryError) {
    leaveSession();
    machine->pmset.failing = {"set"};
    try {
        recoverAtLaunch();
        ADD_FAILURE() << "recovery reported success";
    } catch (const GuardianError& error) {
        EXPECT_STREQ(error.what(), "pmset failed: injected set");
    }
    EXPECT_TRUE(markerExists());
    EXPECT_EQ(record().stopReason, "restarted");
    EXPECT_TRUE(record().error);
}

TEST_F(LaunchRecoveryTest, UnreadableRecordMeansNoRecord) {
    leaveSession();
    writeText(context().statePath, "not json");
    EXPECT_NO_THROW(recoverAtLaunch());
    expectEnded("rebooted");
    EXPECT_EQ(context().activeThermalLimit, WakeThermalLimit::fair);

    // Without a session it still cannot vouch for the absence of a cooldown: a new watcher
    // cools down first. Registration looks at the marker only.
    const std::string sound = encodeJSON(record());
    for (const mode_t mode : {mode_t{0644}, mode_t{0664}}) {
        writeText(context().statePath, mode == 0644 ? "not json" : sound);
        ::chmod(context().statePath.c_str(), mode);
        context().thermalProtection = WakeThermalProtection();
        recoverForRegistration();
        EXPECT_FALSE(context().thermalProtection.coolingRequired);
        recoverAtLaunch();
        EXPECT_TRUE(context().thermalProtection.coolingRequired) << std::oct << mode;
        EXPECT_FALSE(machine->pmset.sleepDisabled);
    }

    auto idle = WakeGuardianState::idle(std::nullopt, std::nullopt, machine->wallClock);
    idle.thermalLimit = 7;  // no such limit
    atomicWrite(idle, context().statePath, true);
    context().activeThermalLimit = WakeThermalLimit::serious;
    recoverAtLaunch();
    EXPECT_EQ(context().activeThermalLimit, WakeThermalLimit::fair);
}

TEST_F(LaunchRecoveryTest, RegistrationVariantEndsWithUpdatedAndIgnoresTheStoredLatch) {
    auto idle = WakeGuardianState::idle("expired", std::nullopt, machine->wallClock);
    idle.coolingRequired = true;
    atomicWrite(idle, context().statePath, true);
    recoverForRegistration();
    EXPECT_FALSE(context().thermalProtection.coolingRequired);
    EXPECT_TRUE(calls.empty());

    leaveSession(41);  // another boot: still "updated"
    recoverForRegistration();
    expectEnded("updated");
    EXPECT_TRUE(context().thermalProtection.coolingRequired);
    EXPECT_EQ(machine->pmset.sleepRequests, 0);
}

TEST_F(LaunchRecoveryTest, RegistrationVariantKeepsAThermalStopThermal) {
    leaveSession();
    machine->pmset.failing = {"set"};
    context().pendingThermalStop = true;
    EXPECT_THROW(safetyStop("thermal"), GuardianError);
    replaceGuardianContextForTesting(GuardianContext(dir.path(), context().system));
    machine->pmset.failing.clear();

    CaptureStderr();
    recoverForRegistration();
    GetCapturedStderr();
    expectEnded("thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
}

}  // namespace
