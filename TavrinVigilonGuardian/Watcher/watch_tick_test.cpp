#include "Engine/session.hpp"
#include "Engine/sleep_control.hpp"
#include "Engine/state_store.hpp"
#include "Watcher/watch_tick.hpp"
#include "Watcher/watcher_test_support.hpp"

#include <functional>
#include <utility>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr const char* sleepRequestLine = "Vigilon: requested system sleep after a thermal trip.\n";

class WatchTickTest : public WatcherFixture {
protected:
    // A session as a successful start leaves it: marker, active record, SleepDisabled on.
    void startSession(WakeThermalLimit limit = WakeThermalLimit::fair) {
        leaveRunningSession(30, limit);
        context().activeThermalLimit = limit;
    }

    // One tick after `seconds` have passed on every clock; returns what it wrote on stderr.
    std::string tickAfter(double seconds, std::optional<std::int64_t> thermalEvent = std::nullopt) {
        machine->uptime += seconds;
        machine->safetyClock += seconds;
        machine->wallClock += seconds;
        CaptureStderr();
        watchTick(thermalEvent);
        return GetCapturedStderr();
    }

    WakeGuardianState record() {
        auto state = readState();
        if (!state) throw std::runtime_error("no record");
        return *state;
    }

    std::optional<double> heartbeatUptime() {
        const auto heartbeat = readHeartbeat(context().heartbeatPath);
        if (!heartbeat) return std::nullopt;
        EXPECT_EQ(heartbeat->pid, ::getpid());
        EXPECT_EQ(heartbeat->bootTime, 42);
        return heartbeat->uptime;
    }

    // The session is over: normal sleep, no marker, an inactive record with `reason`.
    void expectEnded(const std::string& reason) {
        EXPECT_FALSE(markerExists());
        EXPECT_FALSE(machine->pmset.sleepDisabled);
        const auto state = record();
        EXPECT_FALSE(state.active);
        EXPECT_EQ(state.stopReason, reason);
        EXPECT_FALSE(state.error);
    }
};

TEST_F(WatchTickTest, WithoutSessionOnlyTheHeartbeatEveryThreeSeconds) {
    EXPECT_EQ(tickAfter(0), "");
    EXPECT_EQ(heartbeatUptime(), 1000);
    EXPECT_EQ(context().lastStatusUpdate, 5000);

    // Ticks one second apart: the heartbeat moves at the third one, not before.
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_EQ(heartbeatUptime(), 1000);
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_EQ(heartbeatUptime(), 1003);
    EXPECT_EQ(tickAfter(2.5), "");
    EXPECT_EQ(heartbeatUptime(), 1003);
    EXPECT_EQ(tickAfter(0.5), "");
    EXPECT_EQ(heartbeatUptime(), 1006);

    EXPECT_TRUE(calls.empty()) << "no tool runs without a session";
    EXPECT_FALSE(exists(context().statePath)) << "nothing to record without a latch";
}

TEST_F(WatchTickTest, ThermalTripWithoutSessionPersistsTheLatchOnly) {
    EXPECT_EQ(tickAfter(0, 2), "");
    EXPECT_TRUE(context().thermalProtection.coolingRequired);
    const auto state = record();
    EXPECT_FALSE(state.active);
    EXPECT_EQ(state.coolingRequired, true);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(machine->pmset.sleepRequests, 0);
}

TEST_F(WatchTickTest, MarkerWithoutUsableRecordRestoresWithInvalidState) {
    // No record at all: restored, and that tick writes no heartbeat.
    claimSetting();
    machine->pmset.sleepDisabled = true;
    EXPECT_EQ(tickAfter(0), "");
    expectEnded("invalidState");
    EXPECT_FALSE(exists(context().heartbeatPath));
    EXPECT_EQ(context().lastStatusUpdate, 0);

    // An inactive record under a marker: the same, and the next tick writes the heartbeat.
    claimSetting();
    machine->pmset.sleepDisabled = true;
    auto inactive = WakeGuardianState::idle("userStopped", std::nullopt, machine->wallClock);
    atomicWrite(inactive, context().statePath, true);
    EXPECT_EQ(tickAfter(1), "");
    expectEnded("invalidState");
    EXPECT_FALSE(exists(context().heartbeatPath));
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_TRUE(heartbeatUptime());
}

TEST_F(WatchTickTest, UnreadableRecordFallsBackToInvalidState) {
    startSession();
    writeText(context().statePath, "{\"schemaVersion\":1");
    EXPECT_EQ(tickAfter(1), "Vigilon safety: Cannot decode " + context().statePath + ".\n");
    expectEnded("invalidState");
    EXPECT_TRUE(heartbeatUptime()) << "a tick saved by its fallback still finishes";

    startSession();
    ::chmod(context().statePath.c_str(), 0664);
    EXPECT_EQ(tickAfter(1), "Vigilon safety: Unsafe ownership or permissions: " + context().statePath + "\n");
    expectEnded("invalidState");
}

// Without a session, a record the watcher cannot use is never trusted and never stops it: it is
// replaced by one that carries this process's latch, the heartbeat goes on, and a session can
// start. A session's own record is never touched this way (see the case above).
TEST_F(WatchTickTest, UnusableIdleRecordIsReplacedAndTheWatcherStaysReady) {
    auto sound = WakeGuardianState::idle("userStopped", std::nullopt, machine->wallClock);
    sound.coolingRequired = false;
    const std::string linkTarget = dir / "elsewhere.json";
    const std::vector<std::pair<std::string, std::function<void()>>> damages{
        {"garbage", [&] { writeText(context().statePath, "\x01garbage"); }},
        {"truncated", [&] { writeText(context().statePath, "{\"schemaVersion\":1,\"act"); }},
        {"byte-order mark", [&] { writeText(context().statePath, "\xEF\xBB\xBF" + encodeJSON(sound)); }},
        {"group-writable",
         [&] {
             atomicWrite(sound, context().statePath, false);
             ::chmod(context().statePath.c_str(), 0664);
         }},
        {"linked",
         [&] {
             atomicWrite(sound, linkTarget, false);
             ::unlink(context().statePath.c_str());
             ASSERT_EQ(::symlink(linkTarget.c_str(), context().statePath.c_str()), 0);
         }},
        {"oversized", [&] { writeText(context().statePath, encodeJSON(sound) + std::string(recordSizeLimit, ' ')); }},
    };
    for (const auto& [what, damage] : damages) {
        damage();
        context().thermalProtection.requireCooldown();
        EXPECT_EQ(tickAfter(3), "") << what;
        EXPECT_EQ(heartbeatUptime(), machine->uptime) << what;
        const auto replaced = record();
        EXPECT_FALSE(replaced.active) << what;
        EXPECT_EQ(replaced.coolingRequired, true) << what;

        // Once cool again, nothing left of the damage keeps a session from starting.
        context().thermalProtection = WakeThermalProtection();
        EXPECT_EQ(tickAfter(3), "") << what;
        EXPECT_NO_THROW(start(30, WakeThermalLimit::fair)) << what;
        EXPECT_TRUE(machine->pmset.sleepDisabled) << what;
        restore("userStopped", false);
    }
}

TEST_F(WatchTickTest, PendingRetryRecordIsRestoredWithItsReason) {
    startSession();
    machine->pmset.failing = {"set"};
    EXPECT_THROW(restore("expired", false), GuardianError);
    ASSERT_TRUE(record().error);
    machine->pmset.failing.clear();

    EXPECT_EQ(tickAfter(1), "");
    expectEnded("expired");

    // A retry record that names no reason ends as a recovery.
    startSession();
    auto retry = record();
    retry.error = "복구를 재시도하고 있습니다: pmset failed: ";
    atomicWrite(retry, context().statePath, false);
    EXPECT_EQ(tickAfter(1), "");
    expectEnded("recovery");
}

TEST_F(WatchTickTest, FailingRestoreNeverStopsTheWatcherAndKeepsTheRetry) {
    startSession();
    machine->wallClock += 1800;  // expired
    machine->pmset.failing = {"set"};

    for (int tick = 0; tick < 3; ++tick) {
        EXPECT_EQ(tickAfter(1), "Vigilon guardian: pmset failed: injected set\n");
        EXPECT_TRUE(markerExists());
        const auto state = record();
        EXPECT_TRUE(state.active);
        EXPECT_EQ(state.error, "복구를 재시도하고 있습니다: pmset failed: injected set");
        EXPECT_TRUE(machine->pmset.sleepDisabled);
    }
    EXPECT_FALSE(exists(context().heartbeatPath)) << "a failed tick proves nothing";

    machine->pmset.failing.clear();
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_FALSE(markerExists());
    EXPECT_FALSE(record().active);
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_TRUE(heartbeatUptime());
}

TEST_F(WatchTickTest, EachPolicyReasonEndsTheSession) {
    const std::vector<std::pair<std::string, std::function<void()>>> cases{
        {"expired", [this] { machine->wallClock += 1800; }},
        {"expired", [this] { machine->uptime += 1800; }},
        {"rebooted", [this] { machine->bootIdentity = 43; }},
        {"batteryLow", [this] { machine->battery = 15; }},
        {"batteryUnavailable", [this] { machine->battery.reset(); }},
        {"batteryUnavailable", [this] { machine->battery = 101; }},
        {"invalidState",
         [this] {
             auto state = record();
             state.expiresAt = *state.startedAt + 86400.5;
             atomicWrite(state, context().statePath, false);
         }},
    };
    for (const auto& [reason, change] : cases) {
        SCOPED_TRACE(reason);
        machine->bootIdentity = 42;
        machine->battery = 80;
        startSession();
        EXPECT_EQ(tickAfter(1), "");  // still running
        EXPECT_TRUE(markerExists());
        change();
        EXPECT_EQ(tickAfter(1), "");
        expectEnded(reason);
        EXPECT_EQ(machine->pmset.sleepRequests, 0);
    }
}

TEST_F(WatchTickTest, UnreadableBootIdentityFallsBack) {
    startSession();
    machine->bootIdentity.reset();
    EXPECT_EQ(tickAfter(1),
              "Vigilon safety: Cannot read boot identity.\nVigilon guardian: Cannot read boot identity.\n");
    expectEnded("invalidState");
}

TEST_F(WatchTickTest, StatusWorkRefreshesTheRecordEveryThreeSeconds) {
    startSession();
    EXPECT_EQ(tickAfter(0), "");  // due: the first tick of a watcher
    EXPECT_EQ(callsOf("pmset"), std::vector<std::string>{"pmset -g"});
    EXPECT_EQ(record().lastUpdated, machine->wallClock);

    const double refreshed = machine->wallClock;
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_EQ(callsOf("pmset").size(), 1u) << "no power-management read between status refreshes";
    EXPECT_EQ(record().lastUpdated, refreshed);
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_EQ(callsOf("pmset").size(), 2u);
    EXPECT_EQ(record().lastUpdated, machine->wallClock);
    EXPECT_TRUE(record().active);
    EXPECT_TRUE(markerExists());
    EXPECT_EQ(heartbeatUptime(), machine->uptime);
}

TEST_F(WatchTickTest, ExternalChangeIsNoticedOnTheNextStatusRefresh) {
    startSession();
    EXPECT_EQ(tickAfter(0), "");
    machine->pmset.sleepDisabled = false;  // someone else turned sleep back on
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_TRUE(markerExists()) << "not noticed before the status work is due";
    EXPECT_EQ(tickAfter(1), "");
    expectEnded("externalChange");
}

TEST_F(WatchTickTest, FailingPowerReadWithWorkingRestoreEndsAsInvalidState) {
    startSession();
    failingReads = 1;
    EXPECT_EQ(tickAfter(0), "Vigilon safety: pmset failed: injected read\n");
    expectEnded("invalidState");
    EXPECT_EQ(heartbeatUptime(), machine->uptime);

    startSession();
    garbledReads = 1;
    EXPECT_EQ(tickAfter(3), "Vigilon safety: Cannot verify SleepDisabled.\n");
    expectEnded("invalidState");
}

TEST_F(WatchTickTest, ThermalTripEndsTheSessionAndRequestsSleep) {
    startSession(WakeThermalLimit::serious);
    EXPECT_EQ(tickAfter(1, 1), "") << "fair is within the serious limit";
    EXPECT_TRUE(markerExists());

    EXPECT_EQ(tickAfter(0, 2), sleepRequestLine);
    expectEnded("thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
    EXPECT_FALSE(context().pendingThermalStop);
    EXPECT_EQ(record().coolingRequired, true);
    EXPECT_EQ(record().thermalLimit, 2);
}

TEST_F(WatchTickTest, ThermalStopThatFailsStaysThermal) {
    startSession();
    machine->pmset.failing = {"set"};
    EXPECT_EQ(tickAfter(1, 3), "Vigilon guardian: pmset failed: injected set\n");
    EXPECT_TRUE(context().pendingThermalStop);
    EXPECT_EQ(record().stopReason, "thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 0);

    // Nominal again, but a decided thermal stop is never downgraded.
    machine->pmset.failing.clear();
    EXPECT_EQ(tickAfter(1), sleepRequestLine);
    expectEnded("thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
    EXPECT_FALSE(context().pendingThermalStop);
}

TEST_F(WatchTickTest, MonitoringGapDuringSessionIsAThermalStop) {
    startSession();
    EXPECT_EQ(tickAfter(1), "");
    EXPECT_EQ(tickAfter(6), "");  // the watcher was not ticking for more than 5 seconds
    expectEnded("monitoringGap");
    EXPECT_EQ(machine->pmset.sleepRequests, 0);
    EXPECT_TRUE(context().thermalProtection.coolingRequired);
}

TEST_F(WatchTickTest, LockFailureIsReportedAndNothingElseHappens) {
    startSession();
    ::symlink("/dev/null", context().lockPath.c_str());
    EXPECT_EQ(tickAfter(1), "Vigilon guardian: Cannot open guardian lock.\n");
    EXPECT_TRUE(markerExists());
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(context().currentLockFD);
}

}  // namespace
