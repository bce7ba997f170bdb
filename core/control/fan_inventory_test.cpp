#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/fake_hardware.hpp"
#include "control/fan_controller.hpp"

namespace {

struct Probe {
    std::int64_t thermal = 0;
    int thermal_calls = 0;
};

FanController<FakeHardware> controller_over(FakeHardware smc, Probe& probe) {
    return FanController<FakeHardware>(
        std::move(smc), [&probe] { ++probe.thermal_calls; return probe.thermal; },
        [](double) {}, [] { return 0.0; });
}

std::vector<std::string> keys_read(const FakeHardware& smc) {
    std::vector<std::string> keys;
    for (const auto& call : smc.calls) {
        if (!call.write) keys.push_back(call.key);
    }
    return keys;
}

TEST(FanInventory, FanCountMustBeAWholeNumberFromZeroToEight) {
    Probe probe;
    auto none = controller_over(FakeHardware::apple_silicon(0), probe);
    auto empty = none.snapshot();
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->fans.empty());

    auto eight = FakeHardware::apple_silicon(8);
    auto most = controller_over(std::move(eight), probe);
    ASSERT_TRUE(most.fans().has_value());
    EXPECT_EQ(most.fans()->size(), 8u);

    for (const auto& tweak : std::vector<std::function<void(FakeHardware&)>>{
             [](FakeHardware& s) { s.set_ui8("FNum", 9); },
             [](FakeHardware& s) { s.set_flt("FNum", 2.5); },
             [](FakeHardware& s) { s.set_flt("FNum", -1); },
             [](FakeHardware& s) { s.erase("FNum"); },
             [](FakeHardware& s) { s.set("FNum", "ui8 ", {1, 0}); },
         }) {
        auto smc = FakeHardware::apple_silicon(2);
        tweak(smc);
        auto controller = controller_over(std::move(smc), probe);
        auto result = controller.fans();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().message, "팬 개수를 읽지 못했습니다.");
        EXPECT_FALSE(controller.snapshot().has_value());
    }
}

TEST(FanInventory, ImplausibleSpeedFailsTheWholeInventoryNamingTheFanFromOne) {
    Probe probe;
    for (const double speed : {20000.5, -1.0}) {
        auto smc = FakeHardware::apple_silicon(3);
        smc.set_flt("F1Ac", speed);
        auto controller = controller_over(std::move(smc), probe);
        auto result = controller.fans();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().message, "팬 2의 RPM을 읽지 못했습니다.");
        EXPECT_EQ(controller.hardware.reads_of("F2Ac"), 0u) << "fans after the bad one are not read";
    }

    auto missing = FakeHardware::apple_silicon(1);
    missing.erase("F0Ac");
    auto controller = controller_over(std::move(missing), probe);
    EXPECT_EQ(controller.fans().error().message, "팬 1의 RPM을 읽지 못했습니다.");

    auto top = FakeHardware::apple_silicon(2);
    top.set_flt("F1Ac", 20000);
    auto accepted = controller_over(std::move(top), probe).fans();
    ASSERT_TRUE(accepted.has_value());
    EXPECT_EQ((*accepted)[1].actual, 20000);
}

TEST(FanInventory, UnreadableKeysLeaveTheirMembersAbsent) {
    Probe probe;
    auto smc = FakeHardware::apple_silicon(2);
    smc.erase("F0Mn");
    smc.make_unreadable("F1Tg");
    smc.set_ui8("F1md", 1);
    auto fans = controller_over(std::move(smc), probe).fans();
    ASSERT_TRUE(fans.has_value());
    EXPECT_EQ((*fans)[0], (Fan{.id = 0, .actual = 1500, .minimum = std::nullopt, .maximum = 5000,
                               .target = 1500, .mode = 0}));
    EXPECT_EQ((*fans)[1], (Fan{.id = 1, .actual = 1500, .minimum = 1000, .maximum = 6000,
                               .target = std::nullopt, .mode = 1}));
}

TEST(FanInventory, ModeKeyIsTheFirstOneByteUi8OfUpperThenLowerCase) {
    Probe probe;
    {
        // Upper case wins and the lower case is never asked for.
        auto smc = FakeHardware::intel_like(1);
        smc.set_ui8("F0md", 0);
        auto controller = controller_over(std::move(smc), probe);
        EXPECT_EQ(controller.mode_key(0), "F0Md");
        EXPECT_EQ(controller.hardware.reads_of("F0md"), 0u);
    }
    for (const auto& upper : std::vector<std::optional<SmcValue>>{
             std::nullopt, SmcValue{"flt ", {0, 0, 0x80, 0x3f}}, SmcValue{"ui8 ", {1, 0}},
             SmcValue{"ui16", {0, 1}}}) {
        auto smc = FakeHardware::apple_silicon(1);
        smc.set_ui8("F0md", 1);
        if (upper) smc.set("F0Md", upper->type, upper->bytes);
        auto controller = controller_over(std::move(smc), probe);
        EXPECT_EQ(controller.mode_key(0), "F0md");
        EXPECT_EQ(controller.fans()->front().mode, 1);
    }
    {
        auto smc = FakeHardware::apple_silicon(1);
        smc.set("F0md", "ui16", {0, 1});
        auto controller = controller_over(std::move(smc), probe);
        EXPECT_EQ(controller.mode_key(0), std::nullopt);
        EXPECT_EQ(controller.fans()->front().mode, std::nullopt);
        // Nothing is cached: a key that appears later is found at the next use.
        controller.hardware.set_ui8("F0Md", 1);
        EXPECT_EQ(controller.mode_key(0), "F0Md");
    }
}

TEST(FanInventory, TemperatureIsTheHottestPlausibleSensorOfAllThirteen) {
    Probe probe;
    const auto temperature_with = [&probe](std::vector<std::pair<std::string, double>> readings) {
        auto smc = FakeHardware::apple_silicon(0);
        smc.erase("Tp01");
        smc.erase("Te05");
        for (const auto& [key, value] : readings) smc.set_flt(key, value);
        auto controller = controller_over(std::move(smc), probe);
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
    EXPECT_EQ(controller_over(std::move(smc), probe).temperature(), 50.5);
}

TEST(Snapshot, CarriesFansTemperatureThermalNoticeAndControlledAscending) {
    Probe probe{.thermal = 2};
    auto controller = controller_over(FakeHardware::apple_silicon(2), probe);
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
    Probe apple_probe;
    auto apple = controller_over(FakeHardware::apple_silicon(2), apple_probe);
    ASSERT_TRUE(apple.snapshot().has_value());
    EXPECT_EQ(apple.hardware.read_count(), 1u + 2 * (4 + 2 + 1) + 13);
    EXPECT_EQ(apple.hardware.write_count(), 0u);
    EXPECT_EQ(apple_probe.thermal_calls, 1);

    Probe intel_probe;
    auto intel = controller_over(FakeHardware::intel_like(2), intel_probe);
    auto taken = intel.snapshot();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(intel.hardware.read_count(), 1u + 2 * (4 + 1 + 1) + 13);
    EXPECT_EQ(intel.hardware.write_count(), 0u);
    EXPECT_EQ(intel_probe.thermal_calls, 1);
    EXPECT_EQ(taken->fans[1], (Fan{.id = 1, .actual = 2000, .minimum = 1000, .maximum = 6000,
                                   .target = 2000, .mode = 0}));
    EXPECT_EQ(taken->temperature, 50.5);
}

}  // namespace
