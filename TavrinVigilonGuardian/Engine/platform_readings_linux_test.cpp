#include "Engine/guardian_test_support.hpp"
#include "Engine/platform_readings.hpp"
#include "Engine/platform_readings_linux.hpp"

namespace {

void writeSupply(const TempDir& root, const std::string& name,
                 const std::vector<std::pair<std::string, std::string>>& files) {
    std::filesystem::create_directories(root / name);
    for (const auto& [file, content] : files) writeText(root / (name + "/" + file), content + "\n");
}

TEST(PlatformReadings, BootIdentityFromTheKernelsBootId) {
    TempDir proc;
    std::filesystem::create_directories(proc / "sys/kernel/random");
    const std::string idFile = proc / "sys/kernel/random/boot_id";

    writeText(idFile, "f3a1c2d4-5e6f-4a7b-8c9d-0e1f2a3b4c5d\n");
    EXPECT_EQ(bootTimeFrom(proc.path()), 0x73a1c2d45e6f4a7bLL) << "top bit cleared";
    writeText(idFile, "00000000-0000-0001-ffff-ffffffffffff\n");
    EXPECT_EQ(bootTimeFrom(proc.path()), 1);

    for (const char* broken : {"80000000-0000-0000-1234-123412341234\n", "not-a-boot-id\n", "\n"}) {
        writeText(idFile, broken);
        try {
            bootTimeFrom(proc.path());
            ADD_FAILURE() << broken;
        } catch (const GuardianError& error) {
            EXPECT_EQ(error.message, "Cannot read boot identity.");
        }
    }
    EXPECT_THROW(bootTimeFrom(proc / "missing"), GuardianError);
    EXPECT_GT(bootTime(), 0) << "this machine's own identity";
    EXPECT_EQ(bootTime(), bootTime());
}

TEST(PlatformReadings, BatteryLevelFromTheSystemBattery) {
    TempDir root;
    EXPECT_EQ(batteryPercentFrom(root.path()), std::nullopt);
    EXPECT_EQ(batteryPercentFrom(root / "missing"), std::nullopt);

    writeSupply(root, "AC", {{"type", "Mains"}, {"capacity", "90"}});
    writeSupply(root, "BAT0", {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "70"}});
    EXPECT_EQ(batteryPercentFrom(root.path()), std::nullopt) << "mains and a peripheral's battery do not count";

    writeSupply(root, "BAT1", {{"type", "Battery"}, {"energy_now", "33333"}, {"energy_full", "50000"}});
    EXPECT_EQ(batteryPercentFrom(root.path()), 66);

    writeSupply(root, "BAT1",
                {{"type", "Battery"},
                 {"energy_now", "1"},
                 {"energy_full", "0"},
                 {"charge_now", "4100"},
                 {"charge_full", "4000"}});
    EXPECT_EQ(batteryPercentFrom(root.path()), 102) << "not clamped";

    writeSupply(root, "BAT1", {{"type", "Battery"}, {"scope", "System"}, {"capacity", "15"}});
    EXPECT_EQ(batteryPercentFrom(root.path()), 15) << "capacity comes first";

    writeSupply(root, "BAT1", {{"capacity", "oops"}});
    std::filesystem::remove(root / "BAT1/energy_now");
    std::filesystem::remove(root / "BAT1/charge_now");
    writeSupply(root, "BAT2", {{"type", "Battery"}, {"capacity", "40"}});
    EXPECT_EQ(batteryPercentFrom(root.path()), 40) << "an unreadable battery is skipped";
}

}  // namespace
