#include "Engine/wake_ipc_error.hpp"
#include "Engine/atomic_write.hpp"
#include "Engine/guardian_test_support.hpp"
#include "Engine/heartbeat.hpp"
#include "Engine/session.hpp"
#include "Engine/state_store.hpp"

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr const char* thermalRefusal =
    "Thermal protection is active. Keep the Mac ventilated; 120 seconds of continuously nominal readings are "
    "required before restarting.";

class SessionTest : public GuardianFixture {
protected:
    void SetUp() override {
        GuardianFixture::SetUp();
        writeHeartbeat(machine->uptime - 1);
    }

    void writeHeartbeat(double uptime) {
        atomicWrite(Heartbeat{.pid = ::getpid(), .bootTime = 42, .uptime = uptime}, context().heartbeatPath, false);
    }

    std::string startFailure(std::int64_t minutes = 30, WakeThermalLimit limit = WakeThermalLimit::fair) {
        CaptureStdout();
        try {
            start(minutes, limit);
        } catch (const std::exception& error) {
            GetCapturedStdout();
            return error.what();
        }
        GetCapturedStdout();
        return "";
    }

    std::string restoreFailure(const std::string& reason, bool isExplicit) {
        try {
            restore(reason, isExplicit);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }

    WakeGuardianState record() {
        auto state = readState();
        if (!state) throw std::runtime_error("no record");
        return *state;
    }

    bool marker() { return markerExists(); }

    // A session running since the fixture's clocks, as a successful start leaves it.
    void startSession(WakeThermalLimit limit = WakeThermalLimit::fair) {
        ASSERT_EQ(startFailure(30, limit), "");
        machine->pmset.calls.clear();
    }

    // Marker, record and setting are exactly as before a refused start.
    void expectUntouched(bool recordExpected = false) {
        EXPECT_FALSE(marker());
        EXPECT_EQ(exists(context().statePath), recordExpected);
        EXPECT_FALSE(machine->pmset.sleepDisabled);
    }
};

TEST(GuardianContext, ProductionPathsAreTheFixedOnes) {
    const GuardianContext production;
    EXPECT_EQ(production.directory, "/Library/Application Support/TavrinVigilon");
    EXPECT_EQ(production.statePath, "/Library/Application Support/TavrinVigilon/state.json");
    EXPECT_EQ(production.markerPath, "/Library/Application Support/TavrinVigilon/owned");
    EXPECT_EQ(production.heartbeatPath, "/Library/Application Support/TavrinVigilon/watcher.json");
    EXPECT_EQ(production.lockPath, "/Library/Application Support/TavrinVigilon/guardian.lock");
}

TEST_F(SessionTest, StartTurnsSleepOffForTheSession) {
    CaptureStdout();
    start(30, WakeThermalLimit::serious);
    EXPECT_EQ(GetCapturedStdout(), "Started for 30 minutes.\n");

    const auto state = record();
    EXPECT_TRUE(state.active);
    EXPECT_EQ(*state.expiresAt - *state.startedAt, 1800);
    EXPECT_EQ(*state.deadlineUptime - *state.startedUptime, 1800);
    EXPECT_EQ(state.startedAt, machine->wallClock);
    EXPECT_EQ(state.startedUptime, machine->uptime);
    EXPECT_EQ(state.bootTime, 42);
    EXPECT_EQ(state.thermalLimit, 2);
    EXPECT_FALSE(state.stopReason || state.error || state.coolingRequired);
    EXPECT_TRUE(marker());
    EXPECT_TRUE(machine->pmset.sleepDisabled);
    EXPECT_EQ(context().activeThermalLimit, WakeThermalLimit::serious);
    struct stat status {};
    ::stat(context().markerPath.c_str(), &status);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(SessionTest, StartNeedsALiveWatcherOfThisBoot) {
    writeHeartbeat(machine->uptime - 6);
    EXPECT_EQ(startFailure(), "Guardian is unavailable.");
    writeHeartbeat(machine->uptime - 5.9);
    machine->bootIdentity = 43;
    EXPECT_EQ(startFailure(), "Guardian is unavailable.");
    machine->bootIdentity.reset();
    EXPECT_EQ(startFailure(), "Guardian is unavailable.");
    machine->bootIdentity = 42;
    writeText(context().heartbeatPath, "{}");
    EXPECT_EQ(startFailure(), "Guardian is unavailable.");
    ::unlink(context().heartbeatPath.c_str());
    EXPECT_EQ(startFailure(), "Guardian is unavailable.");
    expectUntouched();
    EXPECT_TRUE(machine->pmset.calls.empty());
}

TEST_F(SessionTest, StartRefusesASecondSession) {
    startSession();
    EXPECT_EQ(startFailure(), "An active session already exists. Stop it first.");
    EXPECT_TRUE(machine->pmset.calls.empty());
}

TEST_F(SessionTest, StartRefusedByThermalProtection) {
    machine->thermal = 1;
    EXPECT_EQ(startFailure(30, WakeThermalLimit::fair), thermalRefusal);
    EXPECT_EQ(record().coolingRequired, true) << "the latch is persisted";
    EXPECT_FALSE(record().active);
    EXPECT_FALSE(marker());

    // After a restart the in-memory latch is clear but the record still holds it.
    machine->thermal = 0;
    context().thermalProtection = WakeThermalProtection();
    EXPECT_EQ(startFailure(), thermalRefusal);
    EXPECT_FALSE(marker());
    EXPECT_TRUE(machine->pmset.calls.empty());
}

TEST_F(SessionTest, StartRefusedWhenTheReCheckTrips) {
    machine->thermalReadings = {0, 2};
    EXPECT_EQ(startFailure(), "Cannot start safely: thermal");
    EXPECT_EQ(record().coolingRequired, true);
    expectUntouched(true);
}

TEST_F(SessionTest, StartRefusedByPolicy) {
    machine->battery.reset();
    EXPECT_EQ(startFailure(), "Cannot start safely: batteryUnavailable");
    machine->battery = 15;
    EXPECT_EQ(startFailure(), "Cannot start safely: batteryLow");
    expectUntouched();
}

TEST_F(SessionTest, StartLeavesSomeoneElsesSleepSettingAlone) {
    machine->pmset.sleepDisabled = true;
    EXPECT_EQ(startFailure(),
              "SleepDisabled is already enabled outside Vigilon. Restore normal sleep before starting.");
    EXPECT_TRUE(machine->pmset.sleepDisabled);
    EXPECT_FALSE(marker());

    machine->pmset.report = " standby 1\n";
    EXPECT_EQ(startFailure(), "Cannot verify SleepDisabled.");
    machine->pmset.report.reset();
    machine->pmset.failing = {"get"};
    EXPECT_EQ(startFailure(), "pmset failed: injected get");
    EXPECT_FALSE(marker());
}

TEST_F(SessionTest, StartPassesOnAnUnreadableRecord) {
    writeText(context().statePath, "garbage");
    EXPECT_EQ(startFailure(), "Cannot decode " + context().statePath + ".");
    EXPECT_FALSE(marker());
}

TEST_F(SessionTest, FailedClaimChangesNoSetting) {
    ::chmod(dir.path().c_str(), 0770);
    EXPECT_EQ(startFailure(), "복구 폴더 기록을 디스크에 확정할 수 없습니다.");
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_FALSE(exists(context().statePath));
}

TEST_F(SessionTest, FailedSwitchOnIsUndone) {
    machine->pmset.failing = {"set"};
    EXPECT_EQ(startFailure(), "pmset failed: injected set");
    // The restore could not switch either, so the marker and a retry record remain.
    EXPECT_TRUE(marker());
    EXPECT_TRUE(record().active);
    EXPECT_EQ(record().stopReason, "startFailed");

    machine->pmset.failing.clear();
    ::unlink(context().markerPath.c_str());
    machine->pmset.ignoreSet = true;  // accepted, but the setting never changes
    EXPECT_EQ(startFailure(), "SleepDisabled verification failed.");
    const auto state = record();
    EXPECT_FALSE(state.active);
    EXPECT_EQ(state.stopReason, "startFailed");
    EXPECT_FALSE(state.error);
    EXPECT_FALSE(marker());
    EXPECT_FALSE(machine->pmset.sleepDisabled);
}

// With no room for a single byte in any file, as on a full disk: the empty marker can still be
// claimed, but no record can be written.
class FullDisk {
public:
    FullDisk() : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit none = previous_;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_FSIZE, &none);
    }
    ~FullDisk() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, handler_);
    }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

private:
    void (*handler_)(int);
    rlimit previous_{};
};

TEST_F(SessionTest, FailedRecordWriteIsUndone) {
    std::optional<FullDisk> full(std::in_place);
    const std::string failure = startFailure();

    EXPECT_EQ(failure, "Cannot write " + context().statePath + ".");
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_EQ(machine->pmset.calls,
              (std::vector<std::string>{"/usr/bin/pmset -g", "/usr/bin/pmset -a disablesleep 0", "/usr/bin/pmset -g"}))
        << "sleep was never disabled, and the undo still made sure of it";
    EXPECT_FALSE(marker()) << "normal sleep was verified: no session is left to report";
    EXPECT_FALSE(exists(context().statePath));

    // While the disk stays full every start fails the same way; once there is room again, one
    // succeeds.
    EXPECT_EQ(startFailure(), failure);
    full.reset();
    EXPECT_EQ(startFailure(), "");
    EXPECT_TRUE(marker());
}

TEST_F(SessionTest, AnUnrecordedEndKeepsTheMarkerOnlyForACooldown) {
    startSession();
    {
        const FullDisk full;
        EXPECT_THROW(restore("userStopped", false), RestoreNotRecorded);
    }
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_FALSE(marker());

    // A thermal end the record cannot take: the marker stays, so that a launch latches the cooldown.
    startSession();
    context().thermalProtection.requireCooldown();
    {
        const FullDisk full;
        EXPECT_EQ(restoreFailure("thermal", false), "Cannot write " + context().statePath + ".");
    }
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_TRUE(marker());
}

TEST_F(SessionTest, RestoreWithoutMarkerChangesNothing) {
    machine->pmset.sleepDisabled = true;  // someone else's
    EXPECT_EQ(restoreFailure("userStopped", false), "");
    EXPECT_TRUE(machine->pmset.sleepDisabled);
    EXPECT_FALSE(exists(context().statePath));
    EXPECT_TRUE(machine->pmset.calls.empty());
}

TEST_F(SessionTest, ExplicitRestoreForcesNormalSleep) {
    machine->pmset.sleepDisabled = true;
    EXPECT_EQ(restoreFailure("manualRestore", true), "");
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_FALSE(marker());
    const auto state = record();
    EXPECT_FALSE(state.active);
    EXPECT_EQ(state.stopReason, "manualRestore");
    EXPECT_EQ(state.coolingRequired, false);
    EXPECT_EQ(state.thermalLimit, 1);
}

TEST_F(SessionTest, RestoreEndsTheSession) {
    startSession(WakeThermalLimit::serious);
    machine->wallClock += 60;
    EXPECT_EQ(restoreFailure("userStopped", false), "");
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_FALSE(marker());
    auto ended = WakeGuardianState::idle("userStopped", std::nullopt, machine->wallClock);
    ended.coolingRequired = false;
    ended.thermalLimit = 2;
    EXPECT_EQ(record(), ended);
    EXPECT_EQ(restoreFailure("userStopped", false), "") << "idempotent";
}

TEST_F(SessionTest, FailedRestoreLeavesARetryRecord) {
    startSession();
    const auto session = record();
    machine->pmset.failing = {"set"};
    context().thermalProtection.requireCooldown();
    EXPECT_EQ(restoreFailure("expired", false), "pmset failed: injected set");
    EXPECT_TRUE(marker());
    auto state = record();
    EXPECT_TRUE(state.active);
    EXPECT_EQ(state.error, "복구를 재시도하고 있습니다: pmset failed: injected set");
    EXPECT_EQ(state.stopReason, "expired");
    EXPECT_EQ(state.coolingRequired, true);
    EXPECT_EQ(state.expiresAt, session.expiresAt) << "session fields are kept";

    machine->pmset.failing.clear();
    machine->pmset.report = "no header";
    EXPECT_EQ(restoreFailure("expired", false), "Cannot verify SleepDisabled.");
    machine->pmset.report.reset();
    machine->pmset.sleepDisabled = true;
    machine->pmset.ignoreSet = true;
    EXPECT_EQ(restoreFailure("expired", false), "SleepDisabled verification failed.");
    EXPECT_TRUE(machine->pmset.sleepDisabled);

    machine->pmset.ignoreSet = false;
    EXPECT_EQ(restoreFailure("expired", false), "");
    state = record();
    EXPECT_FALSE(state.active);
    EXPECT_FALSE(state.error);
    EXPECT_EQ(state.coolingRequired, true);
    EXPECT_FALSE(marker());
}

TEST_F(SessionTest, RestoreRetriesWhenTheMarkerCannotBeRemoved) {
    startSession();
    ::unlink(context().markerPath.c_str());
    ASSERT_EQ(::mkdir(context().markerPath.c_str(), 0700), 0);
    writeText(context().markerPath + "/pinned", "");
    EXPECT_EQ(restoreFailure("expired", false), "Cannot remove ownership marker.");
    EXPECT_TRUE(record().active);
    EXPECT_FALSE(machine->pmset.sleepDisabled);
}

TEST_F(SessionTest, RestoreKeepsTheStoredCoolingLatch) {
    auto latched = WakeGuardianState::idle(std::nullopt, std::nullopt, 1);
    latched.coolingRequired = true;
    atomicWrite(latched, context().statePath, false);
    EXPECT_EQ(restoreFailure("manualRestore", true), "");
    EXPECT_EQ(record().coolingRequired, true);

    writeText(context().statePath, "garbage");
    EXPECT_EQ(restoreFailure("manualRestore", true), "");
    EXPECT_EQ(record().coolingRequired, false) << "an unreadable record counts as no latch";
}

TEST_F(SessionTest, CoolingLatchIsMirroredOnlyWithoutASession) {
    startSession();
    context().thermalProtection.requireCooldown();
    const auto during = readText(context().statePath);
    persistCoolingLatch();
    EXPECT_EQ(readText(context().statePath), during);

    ASSERT_EQ(restoreFailure("userStopped", false), "");
    auto stored = record();
    context().thermalProtection = WakeThermalProtection();
    context().activeThermalLimit = WakeThermalLimit::serious;
    persistCoolingLatch();
    auto mirrored = stored;
    mirrored.coolingRequired = false;
    mirrored.thermalLimit = 2;
    EXPECT_EQ(record(), mirrored) << "every other field is kept";

    const auto unchanged = readText(context().statePath);
    persistCoolingLatch();
    EXPECT_EQ(readText(context().statePath), unchanged);

    ::unlink(context().statePath.c_str());
    persistCoolingLatch();
    EXPECT_FALSE(exists(context().statePath)) << "no latch, no record needed";
    context().thermalProtection.requireCooldown();
    persistCoolingLatch();
    EXPECT_EQ(record().coolingRequired, true);
}

TEST_F(SessionTest, SafetyStop) {
    startSession();
    safetyStop("expired");
    EXPECT_EQ(record().stopReason, "expired");
    EXPECT_EQ(machine->pmset.sleepRequests, 0);

    startSession();
    context().pendingThermalStop = true;
    CaptureStderr();
    safetyStop("cooldown");
    EXPECT_EQ(GetCapturedStderr(), "Vigilon: requested system sleep after a thermal trip.\n");
    EXPECT_EQ(record().stopReason, "thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
    EXPECT_FALSE(context().pendingThermalStop);

    context().pendingThermalStop = true;
    safetyStop("thermal");
    EXPECT_FALSE(context().pendingThermalStop) << "nothing of ours to stop";
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
}

}  // namespace
