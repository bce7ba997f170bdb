#include "Daemon/control.hpp"
#include "Service/xpc_test_support.hpp"
#include "Daemon/daemon_test_support.hpp"
#include "Daemon/listener_delegate.hpp"
#include "Engine/session.hpp"
#include "Engine/state_store.hpp"
#include "Watcher/watch_tick.hpp"

#include <sys/file.h>
#include <fcntl.h>

namespace {

constexpr std::uint32_t owner = 501;

// The record of a registration for `owner` and a front end whose code is not this test program.
WakeHelperInstallation registeredInstallation() {
    return {.protocolVersion = 3,
            .ownerUID = owner,
            .clientHash = std::string(40, 'b'),
            .helperHash = std::string(40, 'c')};
}

const char* const refusal = "허용되지 않은 요청입니다.";
const char* const busy = "설치 또는 제거가 진행 중입니다. 잠시 후 다시 시도해 주세요.";
const char* const thermalRefusal =
    "Thermal protection is active. Keep the Mac ventilated; 120 seconds of continuously nominal readings "
    "are required before restarting.";

class ControlTest : public DaemonFixture {
protected:
    // A peer of `uid` whose connection exports a Control of the owner.
    std::unique_ptr<FakePeer> peerOf(std::uint32_t uid) {
        return std::make_unique<FakePeer>(uid, [this](const auto& connection) {
            connection->setExportedInterface(tavrinWakeControlInterface());
            connection->setExportedObject(std::make_shared<Control>(owner, installLockPath));
            connection->resume();
            return true;
        });
    }

    // Another process's hold on the install lock (an open file description of its own).
    UniqueFd holdInstallLock() {
        UniqueFd held(::open(installLockPath.c_str(), O_RDWR | O_CLOEXEC));
        EXPECT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
        return held;
    }

    std::string stopReason() {
        const auto record = readState();
        return record && record->stopReason ? *record->stopReason : "";
    }
};

TEST_F(ControlTest, RequestsOutsideTheContractAreRefusedWithoutTouchingALock) {
    const auto peer = peerOf(owner);
    const auto held = holdInstallLock();  // a queued request would answer "busy" instead
    EXPECT_TRUE(isReply(peer->call("start", 45, 1), false, refusal));
    EXPECT_TRUE(isReply(peer->call("stop", 0, 2), false, refusal));
    EXPECT_TRUE(isReply(peer->call("ping", 10, 1), false, refusal));
    EXPECT_TRUE(isReply(peer->call("Start", 10, 1), false, refusal));
    EXPECT_TRUE(isReply(peer->call("start", 10, 3), false, refusal));
    EXPECT_FALSE(exists(context().lockPath));
    EXPECT_TRUE(callsOf("pmset").empty());
}

TEST_F(ControlTest, APeerOfAnotherUserOrNoCallAtAllIsRefused) {
    // The delegate turns such peers away; the object refuses them again on its own.
    const auto stranger = peerOf(502);
    EXPECT_TRUE(isReply(stranger->call("ping"), false, refusal));
    const auto root = peerOf(0);
    EXPECT_TRUE(isReply(root->call("ping"), false, refusal));

    std::optional<std::pair<bool, std::string>> answer;
    Control(owner, installLockPath).perform("ping", 0, 1, [&](bool ok, std::string message) {
        answer.emplace(ok, std::move(message));
    });
    ASSERT_TRUE(answer);  // answered on the caller's thread, nothing queued
    EXPECT_EQ(*answer, std::make_pair(false, std::string(refusal)));
}

TEST_F(ControlTest, PingAnswersTheVersionEvenDuringInstallation) {
    const auto peer = peerOf(owner);
    EXPECT_TRUE(isReply(peer->call("ping"), true, "3"));
    const auto held = holdInstallLock();
    EXPECT_TRUE(isReply(peer->call("ping"), true, "3"));
    EXPECT_FALSE(exists(context().lockPath));
}

TEST_F(ControlTest, TheInstallLockGatesEveryChangeWithItsOwnTexts) {
    const auto peer = peerOf(owner);
    {
        const auto held = holdInstallLock();
        EXPECT_TRUE(isReply(peer->call("start", 10, 1), false, busy));
        EXPECT_TRUE(isReply(peer->call("restore"), false, busy));
    }
    ::chmod(installLockPath.c_str(), 0640);
    EXPECT_TRUE(isReply(peer->call("stop"), false, "안전하지 않은 설치 잠금입니다."));
    ::unlink(installLockPath.c_str());
    EXPECT_TRUE(isReply(peer->call("start", 10, 1), false, "도우미 설치 잠금을 확인할 수 없습니다."));
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_FALSE(markerExists());
}

TEST_F(ControlTest, StartRunsASessionAndASecondStartIsRefused) {
    const auto peer = peerOf(owner);
    EXPECT_TRUE(isReply(peer->call("start", 10, 2), true, "완료"));
    EXPECT_TRUE(machine->pmset.sleepDisabled);
    EXPECT_TRUE(markerExists());
    EXPECT_EQ(context().activeThermalLimit, WakeThermalLimit::serious);

    EXPECT_TRUE(isReply(peer->call("start", 10, 1), false, "An active session already exists. Stop it first."));

    // Both locks are free again once the reply is out.
    const auto held = holdInstallLock();
    UniqueFd guardianLock(::open(context().lockPath.c_str(), O_RDWR | O_CLOEXEC));
    EXPECT_EQ(::flock(guardianLock.get(), LOCK_EX | LOCK_NB), 0);
}

TEST_F(ControlTest, StartFailuresAreAnsweredWithTheEnginesText) {
    const auto peer = peerOf(owner);
    ::unlink(context().heartbeatPath.c_str());
    EXPECT_TRUE(isReply(peer->call("start", 10, 1), false, "Guardian is unavailable."));
    writeHeartbeat(machine->uptime);
    machine->pmset.sleepDisabled = true;
    EXPECT_TRUE(isReply(peer->call("start", 10, 1), false,
                        "SleepDisabled is already enabled outside Vigilon. Restore normal sleep before starting."));
    machine->pmset.sleepDisabled = false;
    machine->battery = 15;
    EXPECT_TRUE(isReply(peer->call("start", 10, 1), false, "Cannot start safely: batteryLow"));
    EXPECT_FALSE(markerExists());
}

TEST_F(ControlTest, StopEndsTheSessionAsTheUserAsked) {
    const auto peer = peerOf(owner);
    ASSERT_TRUE(isReply(peer->call("start", 10, 1), true, "완료"));
    EXPECT_TRUE(isReply(peer->call("stop"), true, "완료"));
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_FALSE(markerExists());
    EXPECT_EQ(stopReason(), "userStopped");
    EXPECT_EQ(machine->pmset.sleepRequests, 0);
}

TEST_F(ControlTest, StopDuringAThermalTripIsTheThermalSafetyStop) {
    const auto peer = peerOf(owner);
    ASSERT_TRUE(isReply(peer->call("start", 10, 2), true, "완료"));
    machine->thermal = 2;  // serious: over the session's limit
    EXPECT_TRUE(isReply(peer->call("stop"), true, "완료"));
    EXPECT_EQ(stopReason(), "thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
    EXPECT_FALSE(markerExists());
}

TEST_F(ControlTest, StopWithAPendingThermalStopIsTheThermalSafetyStop) {
    const auto peer = peerOf(owner);
    ASSERT_TRUE(isReply(peer->call("start", 10, 1), true, "완료"));
    onPowerQueue([&] { context().pendingThermalStop = true; });
    EXPECT_TRUE(isReply(peer->call("stop"), true, "완료"));
    EXPECT_EQ(stopReason(), "thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
}

TEST_F(ControlTest, RestoreWithoutASessionForcesNormalSleepEvenWithAThermalStopPending) {
    const auto peer = peerOf(owner);
    machine->pmset.sleepDisabled = true;  // set by someone else
    onPowerQueue([&] { context().pendingThermalStop = true; });
    EXPECT_TRUE(isReply(peer->call("restore"), true, "완료"));
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_EQ(stopReason(), "manualRestore");
    EXPECT_EQ(machine->pmset.sleepRequests, 0);
}

TEST_F(ControlTest, RestoreOfASessionDuringAThermalTripIsTheThermalSafetyStop) {
    const auto peer = peerOf(owner);
    ASSERT_TRUE(isReply(peer->call("start", 10, 1), true, "완료"));
    machine->thermal = 1;  // fair: over the fair limit
    EXPECT_TRUE(isReply(peer->call("restore"), true, "완료"));
    EXPECT_EQ(stopReason(), "thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
}

TEST_F(ControlTest, RestoreOfASessionOtherwiseRestoresAsAskedAndAFailureIsAnswered) {
    const auto peer = peerOf(owner);
    ASSERT_TRUE(isReply(peer->call("start", 10, 1), true, "완료"));
    machine->pmset.failing.insert("set");
    const auto failed = peer->call("restore");
    ASSERT_TRUE(failed);
    EXPECT_FALSE(failed->ok);
    EXPECT_EQ(failed->message, "pmset failed: injected set");
    EXPECT_TRUE(markerExists());  // kept for the watcher's retry

    machine->pmset.failing.clear();
    EXPECT_TRUE(isReply(peer->call("restore"), true, "완료"));
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_EQ(stopReason(), "manualRestore");
}

// After a trip a session needs 120 seconds of unbroken nominal readings, the ticks' included.
TEST_F(ControlTest, ANewSessionWaitsForTheWholeCooldownAfterATrip) {
    const auto peer = peerOf(owner);
    ASSERT_TRUE(isReply(peer->call("start", 10, 1), true, "완료"));
    machine->thermal = 3;
    onPowerQueue([] { watchTick(std::nullopt); });
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_EQ(stopReason(), "thermal");

    machine->thermal = 0;
    const auto tickFor = [&](int seconds) {
        onPowerQueue([&] {
            for (int i = 0; i < seconds; ++i) {
                machine->safetyClock += 1;
                machine->uptime += 1;
                watchTick(std::nullopt);
            }
        });
        writeHeartbeat(machine->uptime);
    };
    tickFor(60);
    EXPECT_TRUE(isReply(peer->call("start", 10, 1), false, thermalRefusal));
    // A fair reading restarts the count.
    machine->thermalReadings = {1};
    tickFor(1);
    tickFor(120);  // the first nominal reading counts from its own second
    EXPECT_TRUE(isReply(peer->call("start", 10, 1), false, thermalRefusal));
    tickFor(1);
    const auto last = peer->call("start", 10, 1);
    EXPECT_TRUE(isReply(last, true, "완료")) << (last ? last->message : "none");
}

TEST_F(ControlTest, TheDelegateLetsInOnlyTheOwnerAndPinsTheFrontEnd) {
    const std::string requirement = WakeIPCContract::requirement(std::string(40, 'b'));
    const WakeHelperInstallation installation = registeredInstallation();
    ServiceFolder folder;
    XPCListener listener("app.tavrin.vigilon.guardian", folder.socketPath());
    ListenerDelegate delegate(installation, requirement, installLockPath);

    for (const std::uint32_t stranger : {0u, 502u}) {
        const auto connection = std::make_shared<XPCServerConnection>(
            std::make_unique<XPCServerConnection::Transport>(UniqueFd(), stranger));
        EXPECT_FALSE(delegate.shouldAcceptNewConnection(listener, connection));
        auto& transport = connection->transport();
        EXPECT_FALSE(transport.resumed);
        EXPECT_EQ(transport.exportedObject, nullptr);
        EXPECT_EQ(transport.requirement, "");
    }

    const auto connection =
        std::make_shared<XPCServerConnection>(std::make_unique<XPCServerConnection::Transport>(UniqueFd(), owner));
    ASSERT_TRUE(delegate.shouldAcceptNewConnection(listener, connection));
    auto& transport = connection->transport();
    EXPECT_TRUE(transport.resumed);
    EXPECT_EQ(transport.requirement, requirement);
    EXPECT_EQ(transport.exportedInterface, tavrinWakeControlInterface());
    const auto control = std::dynamic_pointer_cast<Control>(transport.exportedObject);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->ownerUID, owner);
}

TEST_F(ControlTest, AnAcceptedOwnerWhoseCodeDiffersNeverReachesTheControl) {
    const WakeHelperInstallation installation = registeredInstallation();
    ServiceFolder folder;
    XPCListener listener("app.tavrin.vigilon.guardian", folder.socketPath());
    ListenerDelegate delegate(installation, WakeIPCContract::requirement(installation.clientHash), installLockPath);
    // This test program is the peer, and its code is not the registered front end.
    FakePeer peer(owner,
                  [&](const auto& connection) { return delegate.shouldAcceptNewConnection(listener, connection); });
    EXPECT_FALSE(peer.admitted);
}

}  // namespace
