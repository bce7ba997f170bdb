#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "control/controller_test_rig.hpp"

namespace {

using Fans = std::set<std::int64_t>;

// Every call of the controller's record hook, with how many SMC writes had been made by then.
struct HookCall {
    Fans fans;
    bool ftst = false;
    std::size_t writes_before = 0;
    bool operator==(const HookCall&) const = default;
};

struct RecordedRig : ControllerRig {
    std::vector<HookCall> calls;
    bool accept = true;

    explicit RecordedRig(FakeHardware smc) : ControllerRig(std::move(smc)) {
        controller.record_manual = [this](const Fans& fans, bool ftst) {
            calls.push_back({fans, ftst, controller.hardware.write_count()});
            return accept;
        };
    }
};

TEST(RecordHook, GrowsBeforeEveryWriteThatCouldMakeItTrueAndShrinksAfterRestore) {
    RecordedRig rig(FakeHardware::apple_silicon(2));
    rig.smc().refuse("F0md", "F0md SMC 응답 오류 (0x82)", 1);
    ASSERT_TRUE(rig.controller.set_until(0, 2000, std::nullopt).has_value());
    // The fan before its first mode write; "Ftst" after the refused switch, before its own write.
    EXPECT_EQ(rig.calls, (std::vector<HookCall>{{{0}, false, 0}, {{0}, true, 1}}));
    EXPECT_EQ(rig.writes()[1], (std::pair<std::string, double>{"Ftst", 1}));

    // A fan already held does not grow the record; a new one does, before its write.
    ASSERT_TRUE(rig.controller.set_until(0, 2500, std::nullopt).has_value());
    EXPECT_EQ(rig.calls.size(), 2u);
    const std::size_t writes = rig.smc().write_count();
    ASSERT_TRUE(rig.controller.set_until(1, 2000, std::nullopt).has_value());
    EXPECT_EQ(rig.calls.back(), (HookCall{{0, 1}, true, writes}));

    // A restore that confirms only part of it records what is left; one that confirms all
    // clears it; one that has nothing to hand back does not write it at all.
    rig.smc().lag("F1md", 1000);
    EXPECT_FALSE(rig.controller.restore().has_value());
    EXPECT_EQ(rig.calls.back().fans, (Fans{1}));
    EXPECT_FALSE(rig.calls.back().ftst);
    rig.smc().set_ui8("F1md", 0);
    ASSERT_TRUE(rig.controller.restore().has_value());
    EXPECT_EQ(rig.calls.back().fans, Fans{});
    const std::size_t settled = rig.calls.size();
    ASSERT_TRUE(rig.controller.restore().has_value());
    EXPECT_EQ(rig.calls.size(), settled);
}

TEST(RecordHook, RefusalStopsTheSwitchBeforeTheWriteItWouldHaveCovered) {
    {
        RecordedRig rig(FakeHardware::apple_silicon(1));
        rig.accept = false;
        EXPECT_EQ(error_of(rig.controller.set_until(0, 2000, std::nullopt)), kManualRecordFailed);
        EXPECT_EQ(rig.smc().write_count(), 0u);
        EXPECT_TRUE(rig.controller.controlled.empty());
        EXPECT_FALSE(rig.controller.restoring);
    }
    {
        // The fan was recorded, "Ftst" cannot be: "Ftst" is never written, the fan handed back.
        RecordedRig rig(FakeHardware::apple_silicon(1));
        rig.smc().refuse("F0md", "F0md SMC 응답 오류 (0x82)", 1);
        rig.controller.record_manual = [&rig](const Fans& fans, bool ftst) {
            rig.calls.push_back({fans, ftst, 0});
            return !ftst;
        };
        EXPECT_EQ(error_of(rig.controller.set_until(0, 2000, std::nullopt)), kManualRecordFailed);
        EXPECT_TRUE(rig.smc().writes_to("Ftst").empty());
        EXPECT_FALSE(rig.controller.ftst_engaged);
        EXPECT_TRUE(rig.controller.controlled.empty());
        EXPECT_EQ(rig.smc().stored("F0md"), 0);
    }
}

}  // namespace
