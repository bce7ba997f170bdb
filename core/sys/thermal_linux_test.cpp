#include "thermal_linux.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class ThermalTree : public ::testing::Test {
protected:
    ThermalTree() {
        char dir_template[] = "/tmp/thermal-test.XXXXXX";
        root = ::mkdtemp(dir_template);
    }
    ~ThermalTree() override { fs::remove_all(root); }

    void put(const std::string& relative, const std::string& text) {
        const fs::path file = root / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }

    // One zone at `temp` with one trip of `type` at `trip` (millidegrees, as sysfs gives them).
    void zone(int n, const std::string& temp, const std::string& type, const std::string& trip, int index = 0) {
        const std::string dir = "thermal_zone" + std::to_string(n) + "/";
        put(dir + "temp", temp + "\n");
        put(dir + "trip_point_" + std::to_string(index) + "_type", type + "\n");
        put(dir + "trip_point_" + std::to_string(index) + "_temp", trip + "\n");
    }

    fs::path root;
};

TEST_F(ThermalTree, NothingThereIsNominal) {
    EXPECT_EQ(thermal_state_at(root), 0);
    EXPECT_EQ(thermal_state_at(root / "missing"), 0);
    put("cooling_device0/type", "Processor\n");
    EXPECT_EQ(thermal_state_at(root), 0);
}

TEST_F(ThermalTree, EachTripTypeHasItsLevel) {
    zone(0, "50000", "active", "50000");
    EXPECT_EQ(thermal_state_at(root), 1);  // reaching the trip counts as crossing it
    zone(1, "95000", "passive", "90000");
    EXPECT_EQ(thermal_state_at(root), 2);
    zone(2, "40000", "critical", "105000");
    EXPECT_EQ(thermal_state_at(root), 2);  // not crossed
    zone(3, "106000", "hot", "105000");
    EXPECT_EQ(thermal_state_at(root), 3);
}

TEST_F(ThermalTree, CriticalTripCountsInAnyZone) {
    zone(0, "30000", "active", "45000");
    zone(7, "110000", "critical", "105000", 3);
    EXPECT_EQ(thermal_state_at(root), 3);
}

TEST_F(ThermalTree, WorstTripOfOneZoneWins) {
    zone(0, "92000", "active", "60000", 0);
    put("thermal_zone0/trip_point_1_type", "passive\n");
    put("thermal_zone0/trip_point_1_temp", "90000\n");
    put("thermal_zone0/trip_point_2_type", "critical\n");
    put("thermal_zone0/trip_point_2_temp", "100000\n");
    EXPECT_EQ(thermal_state_at(root), 2);
}

TEST_F(ThermalTree, UnreadableOrDisabledEntriesAreSkipped) {
    zone(0, "garbage", "critical", "0");      // zone temperature unreadable
    zone(1, "50000", "critical", "");         // trip temperature empty
    zone(2, "50000", "critical", "-274000");  // disabled trip, below absolute zero
    zone(3, "50000", "hot", "40000");
    fs::remove(root / "thermal_zone3/trip_point_0_temp");
    zone(4, "50000", "user", "40000");  // not a level of its own
    EXPECT_EQ(thermal_state_at(root), 0);

    zone(5, "-5000", "active", "-10000");  // a cold but real trip still counts
    EXPECT_EQ(thermal_state_at(root), 1);
}

}  // namespace
