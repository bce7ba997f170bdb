#include "Daemon/watch.hpp"

#include "Service/xpc_test_support.hpp"
#include "Watcher/wake_helper_installation.hpp"
#include "Engine/atomic_write.hpp"
#include "Daemon/daemon_test_support.hpp"
#include "Engine/guardian_lock.hpp"
#include "Engine/session.hpp"
#include "Engine/state_store.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <optional>
#include <thread>

namespace {

class WatcherServiceTest : public DaemonFixture {
protected:
    void install(const std::string& helperHash) {
        const WakeHelperInstallation installation{.protocolVersion = 3,
                                                  .ownerUID = 501,
                                                  .clientHash = ownCodeHash(),  // this program is the front end
                                                  .helperHash = helperHash};
        atomicWrite(installation, context().installationPath, true);
    }

    void startSessionLeftBehind() {
        withGuardianLock([] { start(10, WakeThermalLimit::fair); });
        ASSERT_TRUE(machine->pmset.sleepDisabled);
    }

    std::string failureOf() {
        try {
            const WatcherService service(folder.socketPath(), installLockPath);
            return "";
        } catch (const std::exception& error) {
            return error.what();
        }
    }

    // One request from a process of `uid`; true when the reply is exactly `expected`.
    bool requestAs(uid_t uid, const XPCRequest& request, const XPCReply& expected) {
        drainPowerQueue();  // what this thread did so far happens before the queue's next unit
        const std::string wanted = encodeReply(expected);
        const std::string line = encodeRequest(request);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(3);
            UniqueFd socket(connectTo(folder.socketPath()));
            const timeval patience{10, 0};
            ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            std::string pending, announcement, reply;
            if (readLine(socket.get(), pending, announcement) != LineEnd::line) ::_exit(4);
            if (!writeLine(socket.get(), line)) ::_exit(5);
            if (readLine(socket.get(), pending, reply) != LineEnd::line) ::_exit(6);
            ::_exit(reply == wanted ? 0 : 7);
        }
        int status = 0;
        return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    ServiceFolder folder;
};

// An owner's peer that connects, hears the announcement and then idles, until asked whether the
// daemon has ended its connection so far.
class IdlePeer {
public:
    explicit IdlePeer(const std::string& socketPath) {
        int ready[2];
        int asked[2];
        if (::pipe(ready) != 0 || ::pipe(asked) != 0) throw std::runtime_error("pipe");
        child_ = ::fork();
        if (child_ == 0) {
            if (::setresgid(501, 501, 501) != 0 || ::setresuid(501, 501, 501) != 0) ::_exit(3);
            const UniqueFd socket(connectTo(socketPath));
            std::string pending, announcement;
            if (readLine(socket.get(), pending, announcement) != LineEnd::line) ::_exit(4);
            (void)!::write(ready[1], "r", 1);
            char byte = 0;
            (void)!::read(asked[0], &byte, 1);
            const ssize_t n = ::recv(socket.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            ::_exit(n < 0 && errno == EAGAIN ? 0 : 1);
        }
        ::close(ready[1]);
        ::close(asked[0]);
        char byte = 0;
        admitted_ = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        ask_ = UniqueFd(asked[1]);
    }
    ~IdlePeer() {
        ask_.reset();
        if (child_ > 0) ::waitpid(child_, nullptr, 0);
    }
    IdlePeer(const IdlePeer&) = delete;
    IdlePeer& operator=(const IdlePeer&) = delete;

    bool admitted() const { return admitted_; }
    bool stillConnected() {
        (void)!::write(ask_.get(), "?", 1);
        int status = 0;
        const bool answered = ::waitpid(child_, &status, 0) == child_;
        child_ = -1;
        return answered && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    pid_t child_ = -1;
    bool admitted_ = false;
    UniqueFd ask_;
};

TEST_F(WatcherServiceTest, WithoutAVerifiedInstallationNoEndpointIsOpened) {
    EXPECT_EQ(failureOf(), "도우미 설치가 필요합니다.");
    EXPECT_FALSE(exists(folder.socketPath()));

    install(std::string(40, 'd'));  // registered by another guardian build
    EXPECT_EQ(failureOf(), "설치된 도우미 서명이 일치하지 않습니다.");
    EXPECT_FALSE(exists(folder.socketPath()));

    ownHashFailure = "실행 중인 앱의 서명을 확인할 수 없습니다.";
    EXPECT_EQ(failureOf(), "실행 중인 앱의 서명을 확인할 수 없습니다.");
    EXPECT_FALSE(exists(folder.socketPath()));
}

TEST_F(WatcherServiceTest, RecoveryRunsBeforeTheInstallationIsEvenLookedAt) {
    // A session of a daemon that died, in this boot.
    startSessionLeftBehind();
    EXPECT_EQ(failureOf(), "도우미 설치가 필요합니다.");
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_FALSE(markerExists());
    EXPECT_EQ(readState()->stopReason, "restarted");
}

TEST_F(WatcherServiceTest, ServesTheOwnersFrontEndOnceTheFirstTickHasRun) {
    install(machine->codeHash);
    ::unlink(context().heartbeatPath.c_str());
    const WatcherService service(folder.socketPath(), installLockPath);
    // The first tick ran on this thread before anyone could connect.
    EXPECT_TRUE(exists(context().heartbeatPath));
    EXPECT_EQ(service.delegate().installation.ownerUID, 501u);

    EXPECT_TRUE(requestAs(501, {"ping", 0, 1}, {true, "3"}));
    EXPECT_TRUE(requestAs(501, {"start", 10, 1}, {true, "완료"}));
    drainPowerQueue();
    EXPECT_TRUE(machine->pmset.sleepDisabled);
    EXPECT_TRUE(markerExists());
    // Another user never gets a reply.
    EXPECT_FALSE(requestAs(502, {"stop", 0, 1}, {true, "완료"}));
    drainPowerQueue();
    EXPECT_TRUE(machine->pmset.sleepDisabled);
    EXPECT_TRUE(requestAs(501, {"stop", 0, 1}, {true, "완료"}));
    drainPowerQueue();
    EXPECT_FALSE(machine->pmset.sleepDisabled);
}

// The platform announces thermal-state changes on a thread of its own; the daemon acts on one at
// once, on the power queue, with the state announced rather than a fresh reading.
TEST_F(WatcherServiceTest, AnAnnouncedThermalChangeTicksAtOnceOnThePowerQueue) {
    struct Observation : ThermalStateObservation {
        explicit Observation(bool& flag) : released(flag) {}
        ~Observation() override { released = true; }
        bool& released;
    };
    std::function<void(std::int64_t)> announce;
    bool observedBeforeTheFirstTick = false;
    bool released = false;
    context().system.observeThermalState = [&](std::function<void(std::int64_t)> changed) {
        announce = std::move(changed);
        // The endpoint exists and the first tick has not run yet: no change in between is missed.
        observedBeforeTheFirstTick = exists(folder.socketPath()) && !exists(context().heartbeatPath);
        return std::make_unique<Observation>(released);
    };
    install(machine->codeHash);
    ::unlink(context().heartbeatPath.c_str());
    {
        const WatcherService service(folder.socketPath(), installLockPath);
        ASSERT_TRUE(announce);
        EXPECT_TRUE(observedBeforeTheFirstTick);
        ASSERT_TRUE(requestAs(501, {"start", 10, 2}, {true, "완료"}));

        // The machine's own reading stays nominal, so only the announced state can end the session.
        std::promise<void> resume;
        powerQueue().async([held = resume.get_future().share()] { held.wait(); });
        announce(2);
        EXPECT_TRUE(markerExists()) << "the tick ran on the announcing thread";
        resume.set_value();
        drainPowerQueue();
        EXPECT_FALSE(markerExists());
        EXPECT_EQ(readState()->stopReason, "thermal");
        EXPECT_EQ(machine->pmset.sleepRequests, 1);
        EXPECT_FALSE(released) << "observer removed while the service runs";
    }
    EXPECT_TRUE(released);
}

// What the daemon does when the system asks it to stop (an unload, an update, a shutdown).
TEST_F(WatcherServiceTest, AStopRequestEndsOnlyASessionOfItsOwn) {
    // Someone else's SleepDisabled is left alone.
    machine->pmset.sleepDisabled = true;
    EXPECT_EQ(stopGuardian(), 0);
    EXPECT_TRUE(machine->pmset.sleepDisabled);
    EXPECT_TRUE(callsOf("pmset").empty());
    EXPECT_FALSE(exists(context().statePath));
    machine->pmset.sleepDisabled = false;

    startSessionLeftBehind();
    EXPECT_EQ(stopGuardian(), 0);
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_FALSE(markerExists());
    EXPECT_FALSE(readState()->active);
    EXPECT_EQ(readState()->stopReason, "guardianStopped");
    EXPECT_EQ(machine->pmset.sleepRequests, 0);

    // A thermal stop still pending stays thermal, sleep request included.
    startSessionLeftBehind();
    context().pendingThermalStop = true;
    EXPECT_EQ(stopGuardian(), 0);
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_EQ(readState()->stopReason, "thermal");
    EXPECT_EQ(machine->pmset.sleepRequests, 1);
}

TEST_F(WatcherServiceTest, AStopWhoseRestoreFailsLeavesTheRetryForTheNextLaunch) {
    startSessionLeftBehind();
    machine->pmset.failing.insert("set");
    testing::internal::CaptureStderr();
    EXPECT_EQ(stopGuardian(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Vigilon guardian: pmset failed: injected set\n");
    EXPECT_TRUE(markerExists());
    const auto record = readState();
    EXPECT_TRUE(record->active);
    EXPECT_EQ(record->stopReason, "guardianStopped");
    EXPECT_TRUE(record->error);
}

// Normal sleep comes back before any connection is ended, and without waiting for one: a peer
// stuck in its code check (its program on a file system that stopped answering) and an admitted
// one that idles are both still there when the daemon leaves.
TEST_F(WatcherServiceTest, AStopRestoresSleepWithoutWaitingForAnyPeer) {
    install(machine->codeHash);
    PeerCodeCheckStandIn standIn;
    WatcherService service(folder.socketPath(), installLockPath);
    ASSERT_TRUE(requestAs(501, {"start", 10, 1}, {true, "완료"}));
    IdlePeer idle(folder.socketPath());
    ASSERT_TRUE(idle.admitted());

    standIn.stall();
    const pid_t stuck = ::fork();
    if (stuck == 0) {
        if (::setresgid(501, 501, 501) != 0 || ::setresuid(501, 501, 501) != 0) ::_exit(3);
        const UniqueFd socket(connectTo(folder.socketPath()));
        char byte = 0;
        ::_exit(::read(socket.get(), &byte, 1) == 0 ? 0 : 1);
    }
    while (judgements_under_way() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::optional<int> status;
    service.stop([&](int exitStatus) { status = exitStatus; });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_TRUE(idle.stillConnected()) << "a connection was ended before the daemon left";
    standIn.release();
    ::waitpid(stuck, nullptr, 0);
}

TEST_F(WatcherServiceTest, StoppingShutsTheEndpointAndEndsTheSessionOnThePowerQueue) {
    install(machine->codeHash);
    WatcherService service(folder.socketPath(), installLockPath);
    ASSERT_TRUE(requestAs(501, {"start", 10, 1}, {true, "완료"}));
    std::optional<int> status;
    std::thread::id leftFrom;
    service.stop([&](int exitStatus) {
        status = exitStatus;
        leftFrom = std::this_thread::get_id();
    });
    EXPECT_EQ(status, 0);
    EXPECT_NE(leftFrom, std::this_thread::get_id()) << "not the power queue's unit";
    EXPECT_FALSE(exists(folder.socketPath()));
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_EQ(readState()->stopReason, "guardianStopped");
}

}  // namespace
