#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/controller_test_rig.hpp"

namespace {

const std::string kUnconfirmed = "자동 제어 복귀를 확인하지 못했습니다. ";
const std::string kTripNotice = "온도 또는 센서 상태 때문에 자동 제어로 복귀했습니다.";

// A rig whose fans were switched to manual by this engine.
void take_fans(ControllerRig& rig, std::vector<std::int64_t> ids) {
    for (const std::int64_t id : ids) ASSERT_TRUE(rig.controller.set_until(id, 2000, std::nullopt).has_value());
    rig.smc().calls.clear();
}

TEST(Restore, NothingHeldSucceedsAtOnceWithoutTouchingTheSmc) {
    ControllerRig rig(FakeHardware::apple_silicon(2));
    rig.controller.restoring = true;
    rig.controller.targets = {{0, 2000}};
    ASSERT_TRUE(rig.controller.restore().has_value());
    EXPECT_TRUE(rig.smc().calls.empty());
    EXPECT_TRUE(rig.controller.targets.empty());
    EXPECT_FALSE(rig.controller.restoring);
}

TEST(Restore, ReleasesAscendingAndConfirmsWithinTheReleasePass) {
    ControllerRig rig(FakeHardware::apple_silicon(2));
    take_fans(rig, {1, 0});
    rig.controller.notice = "사용자 알림";
    ASSERT_TRUE(rig.controller.restore().has_value());
    EXPECT_EQ(rig.writes(), (std::vector<std::pair<std::string, double>>{{"F0md", 0}, {"F1md", 0}}));
    EXPECT_TRUE(rig.sleeps.empty());
    EXPECT_TRUE(rig.controller.controlled.empty());
    EXPECT_TRUE(rig.controller.targets.empty());
    EXPECT_EQ(rig.controller.notice, "사용자 알림") << "restore leaves the notice alone";
    EXPECT_EQ(rig.smc().writes_to("F0Tg").size(), 0u);
}

TEST(Restore, SlowSmcIsConfirmedInALaterPass) {
    ControllerRig rig(FakeHardware::apple_silicon(1));
    take_fans(rig, {0});
    // The read-back, then three passes of (probe, read), then the fourth pass's probe still
    // show manual mode; the fourth pass's read shows automatic.
    rig.smc().lag("F0md", 1 + 3 * 2 + 1);
    ASSERT_TRUE(rig.controller.restore().has_value());
    EXPECT_EQ(rig.sleeps, (std::vector<double>{0.05, 0.05, 0.05}));
}

TEST(Restore, FanStuckInManualModeKeepsTheEngineRestoring) {
    ControllerRig rig(FakeHardware::apple_silicon(1));
    take_fans(rig, {0});
    rig.smc().lag("F0md", 1000);
    auto result = rig.controller.restore();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(error_of(result), kUnconfirmed);
    EXPECT_EQ(rig.sleeps, std::vector<double>(20, 0.05));
    EXPECT_EQ(rig.smc().reads_of("F0md"), 1u + 1 + 21 * 2);  // release probe, read-back, 21 passes
    EXPECT_TRUE(rig.controller.restoring);
    EXPECT_EQ(rig.controller.controlled, (std::set<std::int64_t>{0}));
    EXPECT_EQ(rig.controller.targets.at(0), 2000);
    EXPECT_EQ(error_of(rig.controller.set_until(0, 2000, std::nullopt)), "자동 제어 복귀를 확인하는 중입니다.");

    // The next safety check retries, and the SMC has caught up by then.
    rig.smc().set_ui8("F0md", 0);
    ASSERT_TRUE(rig.controller.check_safety().has_value());
    EXPECT_FALSE(rig.controller.restoring);
    EXPECT_TRUE(rig.controller.targets.empty());
}

TEST(Restore, CollectsTheTextOfEveryFailureInOrder) {
    {
        ControllerRig rig(FakeHardware::apple_silicon(2));
        take_fans(rig, {0, 1});
        rig.smc().erase("F0md");
        rig.smc().erase("F1md");
        EXPECT_EQ(error_of(rig.controller.restore()),
                  kUnconfirmed + "팬 모드 키를 읽을 수 없습니다., 팬 모드 키를 읽을 수 없습니다.");
        EXPECT_EQ(rig.controller.controlled, (std::set<std::int64_t>{0, 1}));
    }
    {
        // Every fan released, but the engine's "Ftst" could not be cleared.
        ControllerRig rig(FakeHardware::apple_silicon(1));
        rig.smc().refuse("F0md", "F0md SMC 응답 오류 (0x82)", 1);
        take_fans(rig, {0});
        ASSERT_TRUE(rig.controller.ftst_engaged);
        rig.smc().refuse("Ftst", "Ftst SMC 응답 오류 (0x82)", 1);
        EXPECT_EQ(error_of(rig.controller.restore()), kUnconfirmed + "Ftst SMC 응답 오류 (0x82)");
        EXPECT_TRUE(rig.controller.controlled.empty());
        EXPECT_TRUE(rig.controller.ftst_engaged);
        EXPECT_TRUE(rig.controller.restoring);
        ASSERT_TRUE(rig.controller.restore().has_value());
        EXPECT_EQ(rig.smc().stored("Ftst"), 0);
        EXPECT_FALSE(rig.controller.ftst_engaged);
    }
}

TEST(Restore, FailedWriteOfZeroIsForgottenOnceTheFanReadsAutomatic) {
    ControllerRig rig(FakeHardware::intel_like(1));
    take_fans(rig, {0});
    rig.smc().refuse("F0Md", "F0Md SMC 응답 오류 (0x82)", 1);
    // The SMC hands the fan back on its own while the engine waits.
    rig.on_sleep = [&rig] { rig.smc().set_ui8("F0Md", 0); };
    ASSERT_TRUE(rig.controller.restore().has_value());
    EXPECT_EQ(rig.sleeps.size(), 1u);
    EXPECT_TRUE(rig.controller.controlled.empty());
}

TEST(CheckSafety, TripsAtNinetyDegreesOrASeriousLevelOrNoSensor) {
    {
        ControllerRig rig(FakeHardware::apple_silicon(1));
        take_fans(rig, {0});
        rig.smc().set_flt("Tp01", 89.9);
        rig.level = 1;
        ASSERT_TRUE(rig.controller.check_safety().has_value());
        EXPECT_EQ(rig.controller.controlled, (std::set<std::int64_t>{0}));
        EXPECT_EQ(rig.smc().write_count(), 0u);
        EXPECT_EQ(rig.controller.notice, std::nullopt);
    }
    for (const auto& trip : std::vector<std::function<void(ControllerRig&)>>{
             [](ControllerRig& r) { r.smc().set_flt("Tp01", 90.0); },
             [](ControllerRig& r) { r.level = 2; },
             [](ControllerRig& r) {
                 r.smc().erase("Tp01");
                 r.smc().erase("Te05");
             },
         }) {
        ControllerRig rig(FakeHardware::apple_silicon(1));
        take_fans(rig, {0});
        rig.controller.notice = "이전 알림";
        trip(rig);
        ASSERT_TRUE(rig.controller.check_safety().has_value());
        EXPECT_EQ(rig.controller.notice, kTripNotice);
        EXPECT_TRUE(rig.controller.controlled.empty());
        EXPECT_EQ(rig.smc().writes_to("F0md"), (std::vector<double>{0}));
    }
}

TEST(CheckSafety, NothingHeldReadsNothingWhateverTheHeat) {
    ControllerRig rig(FakeHardware::apple_silicon(1));
    rig.smc().set_flt("Tp01", 110);
    rig.level = 3;
    ASSERT_TRUE(rig.controller.check_safety().has_value());
    EXPECT_TRUE(rig.smc().calls.empty());
    EXPECT_EQ(rig.controller.notice, std::nullopt);
}

TEST(CheckSafety, ReturnsTheErrorOfTheRestoreItStarted) {
    ControllerRig rig(FakeHardware::apple_silicon(1));
    take_fans(rig, {0});
    rig.smc().lag("F0md", 1000);
    rig.level = 2;
    EXPECT_EQ(error_of(rig.controller.check_safety()), kUnconfirmed);
    EXPECT_EQ(rig.controller.notice, kTripNotice);
    // Still unconfirmed: the next check restores again, without looking at the sensors.
    rig.level = 0;
    rig.smc().calls.clear();
    EXPECT_EQ(error_of(rig.controller.check_safety()), kUnconfirmed);
    EXPECT_EQ(rig.smc().reads_of("Tp01"), 0u);
}

}  // namespace
