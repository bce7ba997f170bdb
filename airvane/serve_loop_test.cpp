#include "serve_loop.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "control/controller_test_rig.hpp"
#include "hand_back.hpp"

namespace {

using Controller = FanController<FakeHardware>;

const std::string kUnconfirmed = "자동 제어 복귀를 확인하지 못했습니다. ";

// Plays one scripted entry per call of `next`: a request is handed to the loop's handler and
// its reply kept; an empty entry, like the end of the script, is half a second without a client.
struct FakeServer {
    double& clock;
    std::deque<std::optional<Request>> script;
    std::vector<Reply> replies;
    int calls = 0;

    void next(std::uint32_t, const std::optional<std::string>&, const std::function<Reply(const Request&)>& handler) {
        ++calls;
        std::optional<Request> request;
        if (!script.empty()) {
            request = std::move(script.front());
            script.pop_front();
        }
        if (request) {
            replies.push_back(handler(*request));
        } else {
            clock += 0.5;
        }
    }
};

Request command(std::string name, std::optional<std::int64_t> fan = std::nullopt,
                std::optional<double> rpm = std::nullopt) {
    return Request{.command = std::move(name), .fan = fan, .rpm = rpm, .ceiling = std::nullopt};
}

// A serve loop over the in-memory SMC, driven pass by pass on the rig's hand-driven clock.
struct LoopRig {
    ControllerRig rig{FakeHardware::apple_silicon(2)};
    FakeServer server{rig.now, {}, {}, 0};
    std::atomic<bool> stopped{false};
    const std::function<double()> now = [this] { return rig.now; };
    const std::optional<std::string> code_hash;
    ServeLoop<Controller, FakeServer> loop;

    explicit LoopRig(bool daemon_mode) : loop(server, 501, code_hash, rig.controller, daemon_mode, stopped, now) {}

    void run_to_end() {
        while (loop.pass()) ASSERT_LT(server.calls, 1000) << "the session never ended";
    }
    std::optional<double> mode(int fan) const {
        return rig.controller.hardware.stored("F" + std::to_string(fan) + "md");
    }
};

TEST(ServeLoop, ServeSessionEndsTwelveSecondsAfterItsLastHeartbeatOrAtQuit) {
    {
        LoopRig t(false);
        t.run_to_end();
        EXPECT_EQ(t.server.calls, 24);  // half a second each: the lapse is reached at exactly 12 s
    }
    {
        LoopRig t(false);
        // A ping two seconds after the heartbeat is answered but keeps nothing alive.
        t.server.script.assign(10, std::nullopt);
        t.server.script.push_back(command("heartbeat"));
        t.server.script.insert(t.server.script.end(), 4, std::nullopt);
        t.server.script.push_back(command("ping"));
        t.run_to_end();
        EXPECT_EQ(t.rig.now, 1005.0 + 12.0);
        EXPECT_EQ(t.server.replies.size(), 2u);
    }
    {
        // A quit whose restore fails is answered with the error and the session goes on.
        LoopRig t(false);
        t.server.script = {command("set", 0, 2000), command("quit"), command("quit")};
        ASSERT_TRUE(t.loop.pass());
        t.rig.smc().lag("F0md", 1000);
        ASSERT_TRUE(t.loop.pass());
        EXPECT_EQ(t.server.replies[1].error, kUnconfirmed);
        EXPECT_TRUE(t.loop.active);
        t.rig.smc().set_ui8("F0md", 0);
        EXPECT_FALSE(t.loop.pass());
        ASSERT_TRUE(t.server.replies[2].snapshot.has_value());
        EXPECT_EQ(t.server.replies[2].error, std::nullopt);
        EXPECT_TRUE(t.server.replies[2].snapshot->controlled.empty());
    }
}

TEST(ServeLoop, StopSignalEndsThePassBeforeAnyConnection) {
    LoopRig t(false);
    t.server.script = {command("set", 0, 2000)};
    t.stopped = true;
    EXPECT_FALSE(t.loop.pass());
    EXPECT_EQ(t.server.calls, 0);
}

TEST(ServeLoop, DaemonQuitIsAnsweredAndTheDaemonServesOnInactive) {
    LoopRig t(true);
    EXPECT_FALSE(t.loop.active);
    t.server.script = {command("set", 1, 2400), command("quit")};
    ASSERT_TRUE(t.loop.pass());
    EXPECT_TRUE(t.loop.active);
    EXPECT_EQ(t.mode(1), 1);
    ASSERT_TRUE(t.loop.pass());
    ASSERT_EQ(t.server.replies.size(), 2u);
    ASSERT_TRUE(t.server.replies[1].snapshot.has_value());
    EXPECT_EQ(t.server.replies[1].error, std::nullopt);
    EXPECT_TRUE(t.server.replies[1].snapshot->controlled.empty());
    EXPECT_FALSE(t.loop.active);
    EXPECT_FALSE(t.loop.quit_requested);
    EXPECT_EQ(t.mode(1), 0);
    EXPECT_TRUE(t.loop.pass());
    EXPECT_EQ(t.server.calls, 3);
}

TEST(ServeLoop, DaemonLapseHandsBackAndRetriesEveryPassUntilConfirmed) {
    LoopRig t(true);
    t.server.script = {command("set", 0, 2000)};
    ASSERT_TRUE(t.loop.pass());
    // Twelve seconds of idle passes after the set, then the lapse.
    for (int pass = 0; pass < 24; ++pass) ASSERT_TRUE(t.loop.pass());
    EXPECT_TRUE(t.loop.active);
    EXPECT_EQ(t.mode(0), 1);
    ASSERT_TRUE(t.loop.pass());
    EXPECT_FALSE(t.loop.active);
    EXPECT_EQ(t.mode(0), 0);
    EXPECT_TRUE(t.rig.controller.controlled.empty());

    // A lapse whose restore cannot be confirmed keeps the session active and says why.
    t.server.script = {command("set", 0, 2000)};
    ASSERT_TRUE(t.loop.pass());
    t.rig.smc().lag("F0md", 1000);
    t.rig.now += 12.0;
    t.loop.last_safety_check = t.rig.now;  // this pass's notice comes from the lapse alone
    ASSERT_TRUE(t.loop.pass());
    EXPECT_TRUE(t.loop.active);
    EXPECT_EQ(t.rig.controller.notice, kUnconfirmed);
    const std::size_t attempts = t.rig.smc().writes_to("F0md").size();
    ASSERT_TRUE(t.loop.pass());
    EXPECT_GT(t.rig.smc().writes_to("F0md").size(), attempts);
    EXPECT_TRUE(t.loop.active);

    t.rig.smc().set_ui8("F0md", 0);
    ASSERT_TRUE(t.loop.pass());
    EXPECT_FALSE(t.loop.active);
    EXPECT_FALSE(t.rig.controller.restoring);
    EXPECT_EQ(t.rig.controller.notice, kUnconfirmed) << "kept until manual control is taken again";
}

TEST(Teardown, RestoresOnceASecondUntilNothingIsManual) {
    ControllerRig rig(FakeHardware::apple_silicon(2));
    std::vector<double> pauses;
    const std::function<void(double)> sleep = [&](double seconds) {
        pauses.push_back(seconds);
        if (pauses.size() == 3) rig.smc().set_ui8("F1md", 0);
    };
    restore_until_automatic(rig.controller, sleep);
    EXPECT_TRUE(rig.smc().calls.empty()) << "nothing manual, nothing to do";

    ASSERT_TRUE(rig.controller.set_until(1, 2000, std::nullopt).has_value());
    rig.smc().lag("F1md", 1000000);
    // Should the teardown stop pausing, the fan comes back after ten restores all the same.
    rig.on_sleep = [&rig] {
        if (rig.sleeps.size() == 200) rig.smc().set_ui8("F1md", 0);
    };
    restore_until_automatic(rig.controller, sleep);
    EXPECT_EQ(pauses, (std::vector<double>{1.0, 1.0, 1.0}));
    EXPECT_TRUE(rig.controller.controlled.empty());
    EXPECT_FALSE(rig.controller.restoring);
}

TEST(TakeBack, OnlyRecordedFansThatStillReadManualAreHandedBack) {
    ControllerRig rig(FakeHardware::apple_silicon(3));
    rig.smc().set_ui8("F1md", 1);  // the dead helper's
    rig.smc().set_ui8("F2md", 1);  // another program's: not in the record
    rig.smc().set_ui8("Ftst", 1);
    // Fan 0 is listed but reads automatic already: it is nobody's to hand back now.
    ASSERT_TRUE(take_back_recorded_fans(rig.controller, ManualRecord{"", {0, 1}, true}).has_value());
    EXPECT_EQ(rig.writes(), (std::vector<std::pair<std::string, double>>{{"F1md", 0}, {"Ftst", 0}}));
    EXPECT_EQ(rig.smc().stored("F2md"), 1);

    // Not confirmed: the controller stays restoring and refuses manual work meanwhile.
    ControllerRig stuck(FakeHardware::apple_silicon(1));
    stuck.smc().set_ui8("F0md", 1);
    stuck.smc().lag("F0md", 1000);
    EXPECT_FALSE(take_back_recorded_fans(stuck.controller, ManualRecord{"", {0}, false}).has_value());
    EXPECT_TRUE(stuck.controller.restoring);
    EXPECT_EQ(stuck.controller.controlled, (std::set<std::int64_t>{0}));
}

TEST(TakeBack, AFanWhoseModeCannotBeReadIsTakenBackAndKeptUntilItReadsAutomatic) {
    ControllerRig rig(FakeHardware::apple_silicon(2));
    rig.smc().set_ui8("F0md", 1);
    rig.smc().set_ui8("F1md", 1);
    // Fan 0's first mode read fails; fan 1's fail until the SMC recovers.
    int fan0_reads = 0;
    bool fan1_fails = true;
    rig.smc().read_fault = [&](std::string_view key) -> std::optional<std::string> {
        if ((key == "F0md" && ++fan0_reads == 1) || (key == "F1md" && fan1_fails)) return "접근 실패 (0xe00002bc)";
        return std::nullopt;
    };
    EXPECT_FALSE(take_back_recorded_fans(rig.controller, ManualRecord{"", {0, 1}, false}).has_value());
    EXPECT_EQ(rig.smc().stored("F0md"), 0);
    EXPECT_EQ(rig.controller.controlled, (std::set<std::int64_t>{1}));
    // Refused as a fan still being handed back, not as another program's; retried by the checks.
    EXPECT_EQ(error_of(rig.controller.set_until(1, 2000, std::nullopt)), "자동 제어 복귀를 확인하는 중입니다.");
    EXPECT_FALSE(rig.controller.check_safety().has_value());

    fan1_fails = false;
    EXPECT_TRUE(rig.controller.check_safety().has_value());
    EXPECT_EQ(rig.smc().stored("F1md"), 0);
    EXPECT_TRUE(rig.controller.set_until(1, 2000, std::nullopt).has_value());
}

}  // namespace
