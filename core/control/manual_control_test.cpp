#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "control/controller_test_rig.hpp"

namespace {

using Writes = std::vector<std::pair<std::string, double>>;

const std::string kRefused = "F0md SMC 응답 오류 (0x82)";
const std::string kOutOfRange = "팬의 허용 RPM 범위를 벗어났습니다.";
const std::string kOtherProgram = "다른 팬 제어 앱을 먼저 자동 모드로 바꾸고 종료해 주세요.";
const std::string kStartGate = "센서가 정상이고 온도가 85°C 미만일 때 수동 제어할 수 있습니다.";
const std::string kBothFans = "양쪽 팬에 공통으로 적용할 수 없는 RPM이거나 다른 앱이 제어 중입니다.";
const std::string kBadCeiling = "팬 속도 상한이 기기의 최소 RPM보다 낮거나 유효하지 않습니다.";

// A switch the SMC reports as failed although it took it, and a return to automatic mode that
// it refuses outright: the fan is left in manual mode.
void stick_in_manual(FakeHardware& smc, std::string key, std::string message) {
    smc.write_fault = [key, message](std::string_view written,
                                     double value) -> std::optional<FakeHardware::WriteFault> {
        if (written == key) return FakeHardware::WriteFault{message, value == 1};
        return std::nullopt;
    };
}

// Refuses every write of 1 to the key (the manual switch) and lets everything else through.
void refuse_switch(FakeHardware& smc, std::string key, std::string message) {
    smc.write_fault = [key, message](std::string_view written,
                                     double value) -> std::optional<FakeHardware::WriteFault> {
        if (written == key && value == 1) return FakeHardware::WriteFault{message, false};
        return std::nullopt;
    };
}

TEST(SetUntil, DirectSwitchWritesModeThenTargetAndClearsTheNotice) {
    ControllerRig rig(FakeHardware::apple_silicon(2));
    rig.controller.notice = "온도 또는 센서 상태 때문에 자동 제어로 복귀했습니다.";
    ASSERT_TRUE(rig.controller.set_until(1, 2500, std::nullopt).has_value());
    EXPECT_EQ(rig.writes(), (Writes{{"F1md", 1}, {"F1Tg", 2500}}));
    EXPECT_EQ(rig.controller.controlled, (std::set<std::int64_t>{1}));
    EXPECT_EQ(rig.controller.targets, (std::map<std::int64_t, double>{{1, 2500}}));
    EXPECT_EQ(rig.controller.notice, std::nullopt);
    EXPECT_FALSE(rig.controller.ftst_engaged);
    EXPECT_TRUE(rig.sleeps.empty());

    // The fan now reads manual; being ours, it may be set again, and the target is replaced.
    ASSERT_TRUE(rig.controller.set_until(1, 3000, std::nullopt).has_value());
    EXPECT_EQ(rig.controller.targets.at(1), 3000);
}

TEST(SetUntil, RefusedSwitchGoesThroughFtstAndRetriesEveryTenthOfASecond) {
    ControllerRig rig(FakeHardware::apple_silicon(1));
    rig.smc().refuse("F0md", kRefused, 3);  // the first write and two retries
    ASSERT_TRUE(rig.controller.set_until(0, 2000, std::nullopt).has_value());
    EXPECT_EQ(rig.writes(), (Writes{{"F0md", 1}, {"Ftst", 1}, {"F0md", 1}, {"F0md", 1}, {"F0md", 1}, {"F0Tg", 2000}}));
    EXPECT_EQ(rig.sleeps, (std::vector<double>{0.1, 0.1, 0.1}));
    EXPECT_TRUE(rig.controller.ftst_engaged);
    EXPECT_EQ(rig.controller.targets.at(0), 2000);
}

TEST(SetUntil, FailedSwitchIsUndoneByRestoreBeforeTheErrorReturns) {
    {
        // No "Ftst" to fall back on: the refusal itself is the answer.
        ControllerRig rig(FakeHardware::intel_like(2));
        rig.smc().refuse("F0Md", "F0Md SMC 응답 오류 (0x82)", 1);
        auto result = rig.controller.set_until(0, 2000, std::nullopt);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(error_of(result), "F0Md SMC 응답 오류 (0x82)");
        EXPECT_EQ(rig.writes(), (Writes{{"F0Md", 1}, {"F0Md", 0}}));
        EXPECT_TRUE(rig.controller.controlled.empty());
        EXPECT_FALSE(rig.controller.restoring);
    }
    {
        // "Ftst" marked as ours before its write: a failed write still gets cleared.
        ControllerRig rig(FakeHardware::apple_silicon(1));
        rig.smc().refuse("F0md", kRefused, 1);
        rig.smc().refuse("Ftst", "Ftst SMC 응답 오류 (0x82)", 1);
        auto result = rig.controller.set_until(0, 2000, std::nullopt);
        EXPECT_EQ(error_of(result), "Ftst SMC 응답 오류 (0x82)");
        EXPECT_EQ(rig.smc().writes_to("Ftst"), (std::vector<double>{1, 0}));
        EXPECT_FALSE(rig.controller.ftst_engaged);
    }
    {
        // The switch fails and so does the restore: both texts, in that order.
        ControllerRig rig(FakeHardware::intel_like(1));
        stick_in_manual(rig.smc(), "F0Md", "F0Md SMC 응답 오류 (0x82)");
        auto result = rig.controller.set_until(0, 2000, std::nullopt);
        EXPECT_EQ(error_of(result),
                  "F0Md SMC 응답 오류 (0x82) · 자동 복귀 재시도 중: 자동 제어 복귀를 확인하지 못했습니다. "
                  "F0Md SMC 응답 오류 (0x82)");
        EXPECT_TRUE(rig.controller.restoring);
        EXPECT_EQ(rig.controller.controlled, (std::set<std::int64_t>{0}));
    }
}

TEST(SetUntil, SwitchRefusedUntilTheDeadlineReportsWhatTheKeysReadNow) {
    ControllerRig rig(FakeHardware::apple_silicon(1));
    refuse_switch(rig.smc(), "F0md", kRefused);
    auto result = rig.controller.set_until(0, 2000, std::nullopt);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(error_of(result), "10초 동안 수동 전환을 기다렸지만 거부되었습니다. " + kRefused + " · F0md=0, Ftst=1");
    // Ten seconds of 0.1 s pauses: never more than 100 retries, never a target.
    EXPECT_LE(rig.sleeps.size(), 100u);
    EXPECT_GE(rig.sleeps.size(), 99u);
    EXPECT_EQ(rig.smc().writes_to("F0Tg").size(), 0u);
    // Restore ran and succeeded: the mode and "Ftst" are back to 0.
    EXPECT_EQ(rig.smc().writes_to("F0md").back(), 0);
    EXPECT_EQ(rig.smc().writes_to("Ftst"), (std::vector<double>{1, 0}));
    EXPECT_TRUE(rig.controller.controlled.empty());
    EXPECT_FALSE(rig.controller.ftst_engaged);
}

TEST(SetUntil, SwitchRetriesStopAtOneHundredAndUnreadableKeysShowAsReadFailure) {
    ControllerRig rig(FakeHardware::apple_silicon(1));
    rig.clock_moves_with_sleep = false;  // only the attempt count can end the wait
    refuse_switch(rig.smc(), "F0md", kRefused);
    rig.on_sleep = [&rig] { rig.smc().make_unreadable("Ftst"); };
    auto result = rig.controller.set_until(0, 2000, std::nullopt);
    EXPECT_EQ(error_of(result),
              "10초 동안 수동 전환을 기다렸지만 거부되었습니다. " + kRefused + " · F0md=0, Ftst=읽기 실패");
    EXPECT_EQ(rig.sleeps.size(), 100u);
    // Before restore's own write of 0: the first write and exactly 100 retries.
    auto mode_writes = rig.smc().writes_to("F0md");
    EXPECT_EQ(std::count(mode_writes.begin(), mode_writes.end(), 1.0), 101);
}

TEST(SetUntil, PassedDeadlineReportsTheTimeoutWithoutARetry) {
    ControllerRig rig(FakeHardware::apple_silicon(1));
    refuse_switch(rig.smc(), "F0md", kRefused);
    auto result = rig.controller.set_until(0, 2000, rig.now - 1);
    EXPECT_EQ(error_of(result), "10초 동안 수동 전환을 기다렸지만 거부되었습니다. " + kRefused + " · F0md=0, Ftst=1");
    EXPECT_TRUE(rig.sleeps.empty());
    EXPECT_EQ(rig.smc().writes_to("F0md"), (std::vector<double>{1, 0}));
}

TEST(SetUntil, HeatDuringTheWaitAbortsAndHeatBeforehandRefusesWithoutWriting) {
    for (const auto& heat : std::vector<std::function<void(ControllerRig&)>>{
             [](ControllerRig& r) { r.smc().set_flt("Tp01", 90.0); },
             [](ControllerRig& r) { r.level = 2; },
             [](ControllerRig& r) {
                 r.smc().erase("Tp01");
                 r.smc().erase("Te05");
             },
         }) {
        ControllerRig rig(FakeHardware::apple_silicon(1));
        refuse_switch(rig.smc(), "F0md", kRefused);
        rig.on_sleep = [&rig, &heat] {
            if (rig.sleeps.size() == 2) heat(rig);
        };
        auto result = rig.controller.set_until(0, 2000, std::nullopt);
        EXPECT_EQ(error_of(result), "온도가 올라 수동 제어를 중단했습니다.");
        EXPECT_EQ(rig.sleeps.size(), 2u);
        EXPECT_TRUE(rig.controller.controlled.empty());
        EXPECT_EQ(rig.smc().stored("Ftst"), 0);
    }
    // 89.9 degrees during the wait is still fine.
    {
        ControllerRig rig(FakeHardware::apple_silicon(1));
        rig.smc().refuse("F0md", kRefused, 2);
        rig.on_sleep = [&rig] { rig.smc().set_flt("Tp01", 89.9); };
        EXPECT_TRUE(rig.controller.set_until(0, 2000, std::nullopt).has_value());
    }
    for (const auto& heat : std::vector<std::function<void(ControllerRig&)>>{
             [](ControllerRig& r) { r.smc().set_flt("Tp01", 85.0); },
             [](ControllerRig& r) { r.level = 2; },
             [](ControllerRig& r) {
                 r.smc().set_flt("Tp01", 4.0);
                 r.smc().set_flt("Te05", 130);
             },
         }) {
        ControllerRig rig(FakeHardware::apple_silicon(1));
        heat(rig);
        EXPECT_EQ(error_of(rig.controller.set_until(0, 2000, std::nullopt)), kStartGate);
        EXPECT_EQ(rig.smc().write_count(), 0u);
        EXPECT_TRUE(rig.controller.controlled.empty());
    }
}

TEST(SetUntil, ImplausibleLimitsOrSpeedsNeverReachTheSmc) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const double rpm : {nan, inf, -inf, -2000.0, 0.0, 1199.0, 5000.5, 25000.0}) {
        ControllerRig rig(FakeHardware::apple_silicon(1));
        EXPECT_EQ(error_of(rig.controller.set_until(0, rpm, std::nullopt)), kOutOfRange) << rpm;
        EXPECT_EQ(rig.smc().write_count(), 0u);
    }
    for (const auto& spoil : std::vector<std::function<void(FakeHardware&)>>{
             [](FakeHardware& s) { s.erase("F0Mn"); },
             [](FakeHardware& s) { s.erase("F0Mx"); },
             [](FakeHardware& s) { s.set_flt("F0Mn", 0); },
             [](FakeHardware& s) { s.set_flt("F0Mx", 1200); },
             [](FakeHardware& s) { s.set_flt("F0Mx", 20000.5); },
             [](FakeHardware& s) { s.erase("F0md"); },
             [](FakeHardware& s) { s.make_unreadable("F0md"); },
         }) {
        ControllerRig rig(FakeHardware::apple_silicon(1));
        spoil(rig.smc());
        EXPECT_EQ(error_of(rig.controller.set_until(0, 2000, std::nullopt)), kOutOfRange);
        EXPECT_EQ(rig.smc().write_count(), 0u);
    }
    ControllerRig rig(FakeHardware::apple_silicon(2));
    for (const std::int64_t id : {-1, 2, 8}) {
        EXPECT_EQ(error_of(rig.controller.set_until(id, 2000, std::nullopt)), kOutOfRange);
    }
    EXPECT_EQ(rig.smc().write_count(), 0u);
}

TEST(SetUntil, AnotherProgramHoldingTheFanOrFtstIsRefused) {
    {
        ControllerRig rig(FakeHardware::apple_silicon(2));
        rig.smc().set_ui8("F1md", 1);
        EXPECT_EQ(error_of(rig.controller.set_until(1, 2000, std::nullopt)), kOtherProgram);
        EXPECT_EQ(rig.smc().write_count(), 0u);
        EXPECT_TRUE(rig.controller.controlled.empty());
    }
    {
        ControllerRig rig(FakeHardware::apple_silicon(2));
        rig.smc().set_ui8("Ftst", 1);
        EXPECT_EQ(error_of(rig.controller.set_until(0, 2000, std::nullopt)), kOtherProgram);
        // Once "Ftst" is ours, its value no longer says anything about other programs.
        rig.controller.ftst_engaged = true;
        EXPECT_TRUE(rig.controller.set_until(0, 2000, std::nullopt).has_value());
    }
    {
        ControllerRig rig(FakeHardware::apple_silicon(1));
        rig.smc().make_unreadable("Ftst");
        EXPECT_TRUE(rig.controller.set_until(0, 2000, std::nullopt).has_value());
    }
}

TEST(Ceiling, CapsTargetsAndMustStayAboveEveryMinimum) {
    ControllerRig rig(FakeHardware::apple_silicon(1));  // fan 0 runs 1200-5000
    ASSERT_TRUE(rig.controller.update_ceiling(2000).has_value());
    ASSERT_TRUE(rig.controller.set_until(0, 3000, std::nullopt).has_value());
    EXPECT_EQ(rig.smc().writes_to("F0Tg"), (std::vector<double>{2000}));

    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const double bad : {1000.0, 20000.5, nan, std::numeric_limits<double>::infinity(), -5.0}) {
        EXPECT_EQ(error_of(rig.controller.update_ceiling(bad)), kBadCeiling) << bad;
        EXPECT_EQ(rig.controller.ceiling, 2000);
    }
    // Above the fan's maximum is fine.
    ASSERT_TRUE(rig.controller.update_ceiling(9000).has_value());
    ASSERT_TRUE(rig.controller.update_ceiling(2000).has_value());

    // The machine's minimum moved above the ceiling accepted earlier.
    rig.smc().set_flt("F0Mn", 2500);
    EXPECT_EQ(error_of(rig.controller.set_until(0, 3000, std::nullopt)), "팬 속도 상한이 최소 RPM보다 낮습니다.");
}

TEST(Ceiling, BoundsAreInclusive) {
    // Fan 0 runs 1200-5000, fan 1 1000-6000: the highest minimum is the lowest ceiling.
    ControllerRig rig(FakeHardware::apple_silicon(2));
    ASSERT_TRUE(rig.controller.update_ceiling(1200).has_value());
    EXPECT_EQ(rig.controller.ceiling, 1200);
    ASSERT_TRUE(rig.controller.update_ceiling(20000).has_value());
    EXPECT_EQ(rig.controller.ceiling, 20000);
    EXPECT_EQ(error_of(rig.controller.update_ceiling(1199.5)), kBadCeiling);
    EXPECT_EQ(rig.controller.ceiling, 20000);
}

TEST(Ceiling, RejectsMachinesWithoutFansOrWithImplausibleLimits) {
    for (const auto& spoil : std::vector<std::function<void(FakeHardware&)>>{
             [](FakeHardware& s) { s.set_ui8("FNum", 0); },
             [](FakeHardware& s) { s.erase("F1Mx"); },
             [](FakeHardware& s) { s.set_flt("F1Mx", 900); },
             [](FakeHardware& s) { s.erase("F1md"); },
         }) {
        ControllerRig rig(FakeHardware::apple_silicon(2));
        spoil(rig.smc());
        EXPECT_EQ(error_of(rig.controller.update_ceiling(3000)), kBadCeiling);
        EXPECT_EQ(rig.controller.ceiling, std::nullopt);
    }
}

TEST(Ceiling, LoweringRewritesRunningTargetsRaisingAndClearingDoNot) {
    ControllerRig rig(FakeHardware::apple_silicon(2));
    ASSERT_TRUE(rig.controller.set_until(0, 4000, std::nullopt).has_value());
    ASSERT_TRUE(rig.controller.set_until(1, 2400, std::nullopt).has_value());
    ASSERT_TRUE(rig.controller.update_ceiling(2500).has_value());
    EXPECT_EQ(rig.smc().writes_to("F0Tg"), (std::vector<double>{4000, 2500}));
    EXPECT_EQ(rig.smc().writes_to("F1Tg"), (std::vector<double>{2400}));
    EXPECT_EQ(rig.controller.targets, (std::map<std::int64_t, double>{{0, 2500}, {1, 2400}}));

    ASSERT_TRUE(rig.controller.update_ceiling(4500).has_value());
    ASSERT_TRUE(rig.controller.update_ceiling(std::nullopt).has_value());
    EXPECT_EQ(rig.controller.targets.at(0), 2500);
    EXPECT_EQ(rig.smc().writes_to("F0Tg").size(), 2u);

    // The same ceiling again costs nothing.
    const std::size_t calls = rig.smc().calls.size();
    ASSERT_TRUE(rig.controller.update_ceiling(std::nullopt).has_value());
    ASSERT_TRUE(rig.controller.update_ceiling(3000).has_value());
    const std::size_t after_change = rig.smc().calls.size();
    EXPECT_GT(after_change, calls);
    ASSERT_TRUE(rig.controller.update_ceiling(3000.0).has_value());
    EXPECT_EQ(rig.smc().calls.size(), after_change);

    // Clearing still needs a readable inventory, and keeps the old ceiling when it fails.
    rig.smc().erase("FNum");
    EXPECT_EQ(error_of(rig.controller.update_ceiling(std::nullopt)), "팬 개수를 읽지 못했습니다.");
    EXPECT_EQ(rig.controller.ceiling, 3000);
}

TEST(Ceiling, FailedRewriteHandsEveryFanBackAndKeepsTheNewCeiling) {
    ControllerRig rig(FakeHardware::apple_silicon(2));
    ASSERT_TRUE(rig.controller.set_until(0, 4000, std::nullopt).has_value());
    ASSERT_TRUE(rig.controller.set_until(1, 3000, std::nullopt).has_value());
    rig.smc().refuse("F0Tg", "F0Tg SMC 응답 오류 (0x82)", 1);
    EXPECT_EQ(error_of(rig.controller.update_ceiling(2500)), "F0Tg SMC 응답 오류 (0x82)");
    EXPECT_EQ(rig.controller.ceiling, 2500);
    EXPECT_TRUE(rig.controller.controlled.empty());
    EXPECT_EQ(rig.smc().stored("F0md"), 0);
    EXPECT_EQ(rig.smc().stored("F1md"), 0);
}

TEST(SetAll, BothFansShareOneSpeed) {
    ControllerRig rig(FakeHardware::intel_like(2));
    ASSERT_TRUE(rig.controller.set_all(3000).has_value());
    EXPECT_EQ(rig.writes(), (Writes{{"F0Md", 1}, {"F0Tg", 3000}, {"F1Md", 1}, {"F1Tg", 3000}}));
    EXPECT_EQ(rig.controller.controlled, (std::set<std::int64_t>{0, 1}));
    // Both already ours: the speed may be set again.
    ASSERT_TRUE(rig.controller.set_all(3500).has_value());
}

TEST(SetAll, RefusesWhatDoesNotSuitBothFansAfterOnlyTheInventory) {
    const auto refused_after_inventory = [](FakeHardware smc, double rpm) {
        ControllerRig rig(std::move(smc));
        EXPECT_EQ(error_of(rig.controller.set_all(rpm)), kBothFans) << rpm;
        EXPECT_EQ(rig.smc().write_count(), 0u);
        EXPECT_EQ(rig.smc().reads_of("Ftst") + rig.smc().reads_of("Tp01"), 0u);
    };
    refused_after_inventory(FakeHardware::apple_silicon(1), 2000);
    refused_after_inventory(FakeHardware::apple_silicon(3), 2000);
    refused_after_inventory(FakeHardware::apple_silicon(2), 5500);  // above fan 0's maximum
    refused_after_inventory(FakeHardware::apple_silicon(2), 1100);  // below fan 0's minimum
    refused_after_inventory(FakeHardware::apple_silicon(2), std::numeric_limits<double>::quiet_NaN());
    auto held = FakeHardware::apple_silicon(2);
    held.set_ui8("F1md", 1);
    refused_after_inventory(std::move(held), 2000);
}

TEST(SetAll, FailureOnTheSecondFanRestoresBoth) {
    ControllerRig rig(FakeHardware::intel_like(2));
    rig.smc().refuse("F1Md", "F1Md SMC 응답 오류 (0x82)", 1);
    EXPECT_EQ(error_of(rig.controller.set_all(3000)), "F1Md SMC 응답 오류 (0x82)");
    EXPECT_TRUE(rig.controller.controlled.empty());
    EXPECT_EQ(rig.smc().stored("F0Md"), 0);
    EXPECT_EQ(rig.smc().stored("F1Md"), 0);

    // The restore that follows a failure fails too: its error is the answer.
    ControllerRig stuck(FakeHardware::intel_like(2));
    stick_in_manual(stuck.smc(), "F1Md", "F1Md SMC 응답 오류 (0x82)");
    EXPECT_EQ(error_of(stuck.controller.set_all(3000)),
              "자동 제어 복귀를 확인하지 못했습니다. F1Md SMC 응답 오류 (0x82)");
    EXPECT_TRUE(stuck.controller.restoring);
}

}  // namespace
