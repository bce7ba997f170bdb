#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/controller_test_rig.hpp"
#include "control/fake_hardware.hpp"
#include "control/fan_controller.hpp"

namespace {

std::vector<std::string> keys_read(const FakeHardware& smc) {
    std::vector<std::string> keys;
    for (const auto& call : smc.calls) {
        if (!call.write) keys.push_back(call.key);
    }
    return keys;
}

TEST(FanInventory, FanCountMustBeAWholeNumberFromZeroToEight) {
    ControllerRig none_rig(FakeHardware::apple_silicon(0));
    auto& none = none_rig.controller;
    auto empty = none.snapshot();
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->fans.empty());

    auto eight = FakeHardware::apple_silicon(8);
    ControllerRig most_rig(std::move(eight));
    auto& most = most_rig.controller;
    ASSERT_TRUE(most.fans().has_value());
    EXPECT_EQ(most.fans()->size(), 8u);

    for (const auto& tweak : std::vector<std::function<void(FakeHardware&)>>{
             [](FakeHardware& s) { s.set_ui8("FNum", 9); },
             [](FakeHardware& s) { s.set_flt("FNum", 2.5); },
             [](FakeHardware& s) { s.set_flt("FNum", -1); },
             [](FakeHardware& s) { s.erase("FNum"); },
             [](FakeHardware& s) {
                 s.set("FNum", "ui8 ", {1, 0});
             },
         }) {
        auto smc = FakeHardware::apple_silicon(2);
        tweak(smc);
        ControllerRig controller_rig(std::move(smc));
        auto& controller = controller_rig.controller;
        auto result = controller.fans();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().message, "팬 개수를 읽지 못했습니다.");
        EXPECT_FALSE(controller.snapshot().has_value());
    }
}

TEST(FanInventory, ImplausibleSpeedFailsTheWholeInventoryNamingTheFanFromOne) {
    for (const double speed : {20000.5, -1.0}) {
        auto smc = FakeHardware::apple_silicon(3);
        smc.set_flt("F1Ac", speed);
        ControllerRig controller_rig(std::move(smc));
        auto& controller = controller_rig.controller;
        auto result = controller.fans();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().message, "팬 2의 RPM을 읽지 못했습니다.");
        EXPECT_EQ(controller.hardware.reads_of("F2Ac"), 0u) << "fans after the bad one are not read";
    }

    auto missing = FakeHardware::apple_silicon(1);
    missing.erase("F0Ac");
    ControllerRig controller_rig(std::move(missing));
    auto& controller = controller_rig.controller;
    EXPECT_EQ(controller.fans().error().message, "팬 1의 RPM을 읽지 못했습니다.");

    auto top = FakeHardware::apple_silicon(2);
    top.set_flt("F1Ac", 20000);
    ControllerRig top_rig(std::move(top));
    auto accepted = top_rig.controller.fans();
    ASSERT_TRUE(accepted.has_value());
    EXPECT_EQ((*accepted)[1].actual, 20000);
}

TEST(FanInventory, UnreadableKeysLeaveTheirMembersAbsent) {
    auto smc = FakeHardware::apple_silicon(2);
    smc.erase("F0Mn");
    smc.make_unreadable("F1Tg");
    smc.set_ui8("F1md", 1);
    ControllerRig rig(std::move(smc));
    auto fans = rig.controller.fans();
    ASSERT_TRUE(fans.has_value());
    EXPECT_EQ((*fans)[0],
              (Fan{.id = 0, .actual = 1500, .minimum = std::nullopt, .maximum = 5000, .target = 1500, .mode = 0}));
    EXPECT_EQ((*fans)[1],
              (Fan{.id = 1, .actual = 1500, .minimum = 1000, .maximum = 6000, .target = std::nullopt, .mode = 1}));
}

TEST(FanInventory, ModeKeyIsTheFirstOneByteUi8OfUpperThenLowerCase) {
    {
        // Upper case wins and the lower case is never asked for.
        auto smc = FakeHardware::intel_like(1);
        smc.set_ui8("F0md", 0);
        ControllerRig controller_rig(std::move(smc));
        auto& controller = controller_rig.controller;
        EXPECT_EQ(controller.mode_key(0), "F0Md");
        EXPECT_EQ(controller.hardware.reads_of("F0md"), 0u);
    }
    for (const auto& upper : std::vector<std::optional<SmcValue>>{std::nullopt, SmcValue{"flt ", {0, 0, 0x80, 0x3f}},
                                                                  SmcValue{"ui8 ", {1, 0}}, SmcValue{"ui16", {0, 1}}}) {
        auto smc = FakeHardware::apple_silicon(1);
        smc.set_ui8("F0md", 1);
        if (upper) smc.set("F0Md", upper->type, upper->bytes);
        ControllerRig controller_rig(std::move(smc));
        auto& controller = controller_rig.controller;
        EXPECT_EQ(controller.mode_key(0), "F0md");
        EXPECT_EQ(controller.fans()->front().mode, 1);
    }
    {
        auto smc = FakeHardware::apple_silicon(1);
        smc.set("F0md", "ui16", {0, 1});
        ControllerRig controller_rig(std::move(smc));
        auto& controller = controller_rig.controller;
        EXPECT_EQ(controller.mode_key(0), std::nullopt);
        EXPECT_EQ(controller.fans()->front().mode, std::nullopt);
        // Nothing is cached: a key that appears later is found at the next use.
        controller.hardware.set_ui8("F0Md", 1);
        EXPECT_EQ(controller.mode_key(0), "F0Md");
    }
}

TEST(FanInventory, TemperatureIsTheHottestPlausibleSensorOfAllThirteen) {
    const auto temperature_with = [](std::vector<std::pair<std::string, double>> readings) {
        auto smc = FakeHardware::apple_silicon(0);
        smc.erase("Tp01");
        smc.erase("Te05");
        for (const auto& [key, value] : readings) smc.set_flt(key, value);
        ControllerRig controller_rig(std::move(smc));
        auto& controller = controller_rig.controller;
        auto result = controller.temperature();
        std::vector<std::string> expected(TEMPERATURE_KEYS.begin(), TEMPERATURE_KEYS.end());
        EXPECT_EQ(keys_read(controller.hardware), expected);
        return result;
    };
    EXPECT_EQ(temperature_with({{"Te05", 40}, {"Tp09", 62.5}, {"TC0P", 51}}), 62.5);
    EXPECT_EQ(temperature_with({{"Te05", 4.9}, {"Tp0e", 125.1}, {"Tp01", 30}}), 30);
    EXPECT_EQ(temperature_with({{"Te05", 125.0}, {"Tp01", 5.0}}), 125.0);
    EXPECT_EQ(temperature_with({{"Te05", 4.9}, {"Tp0e", 125.1}}), std::nullopt);
    EXPECT_EQ(temperature_with({}), std::nullopt);

    // Sensors of other types count alike; a negative signed reading is implausible.
    auto smc = FakeHardware::intel_like(0);
    smc.set_sp78("Tp01", -1);
    ControllerRig rig(std::move(smc));
    EXPECT_EQ(rig.controller.temperature(), 50.5);
}

TEST(Snapshot, CarriesFansTemperatureThermalNoticeAndControlledAscending) {
    ControllerRig controller_rig(FakeHardware::apple_silicon(2));
    controller_rig.level = 2;
    auto& controller = controller_rig.controller;
    controller.controlled = {1, 0};
    controller.notice = "알림";
    auto taken = controller.snapshot();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->fans.size(), 2u);
    EXPECT_EQ(taken->temperature, 52.5);
    EXPECT_EQ(taken->thermal, 2);
    EXPECT_EQ(taken->notice, "알림");
    EXPECT_EQ(taken->controlled, (std::vector<std::int64_t>{0, 1}));
    // Taking it changes nothing.
    EXPECT_EQ(controller.hardware.write_count(), 0u);
    EXPECT_EQ(controller.notice, "알림");
}

// One snapshot of a two-fan machine: FNum, four keys per fan, the mode key probe(s) and the
// mode read, 13 sensors; no writes, one thermal reading.
TEST(Snapshot, SmcCallCountOnEachProfile) {
    ControllerRig apple_rig(FakeHardware::apple_silicon(2));
    auto& apple = apple_rig.controller;
    ASSERT_TRUE(apple.snapshot().has_value());
    EXPECT_EQ(apple.hardware.read_count(), 1u + 2 * (4 + 2 + 1) + 13);
    EXPECT_EQ(apple.hardware.write_count(), 0u);
    EXPECT_EQ(apple_rig.thermal_reads, 1);

    ControllerRig intel_rig(FakeHardware::intel_like(2));
    auto& intel = intel_rig.controller;
    auto taken = intel.snapshot();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(intel.hardware.read_count(), 1u + 2 * (4 + 1 + 1) + 13);
    EXPECT_EQ(intel.hardware.write_count(), 0u);
    EXPECT_EQ(intel_rig.thermal_reads, 1);
    EXPECT_EQ(taken->fans[1],
              (Fan{.id = 1, .actual = 2000, .minimum = 1000, .maximum = 6000, .target = 2000, .mode = 0}));
    EXPECT_EQ(taken->temperature, 50.5);
}

}  // namespace
