#include "Engine/wake_power_policy.hpp"

#include <gtest/gtest.h>

namespace {

using WakePowerPolicy::sleepDisabled;

constexpr const char* header = "System-wide power settings:\n";

TEST(PowerReport, ReadsTheValueUnderAnyBlanks) {
    EXPECT_EQ(sleepDisabled(std::string(header) + " SleepDisabled\t\t1\n"), true);
    EXPECT_EQ(sleepDisabled(std::string(header) + "SleepDisabled 0"), false);
    EXPECT_EQ(sleepDisabled(std::string("  System-wide power settings:\t\n") + "\t SleepDisabled  \t 1 \t\n"), true);
    EXPECT_EQ(sleepDisabled("Currently in use:\n SleepDisabled\t\t1\n standby 1\n"), true) << "no header needed";
    EXPECT_EQ(sleepDisabled(std::string(header) + "\xC2\xA0SleepDisabled\xE2\x80\x83"
                                                  "1\n"),
              true)
        << "Unicode blanks separate fields";
}

TEST(PowerReport, HeaderWithoutKeyMeansSleepIsNotDisabled) {
    EXPECT_EQ(sleepDisabled(std::string(header) + " standby 1\n"), false);
    EXPECT_EQ(sleepDisabled(" standby 1\n displaysleep 10\n"), std::nullopt);
    EXPECT_EQ(sleepDisabled(""), std::nullopt);
    EXPECT_EQ(sleepDisabled("\n\r\n  \n"), std::nullopt);
    EXPECT_EQ(sleepDisabled(std::string(header) + " sleepdisabled 1\n"), false) << "other letter case is skipped";
}

TEST(PowerReport, AmbiguousOrMalformedLinesGiveNoValue) {
    for (const char* line : {" SleepDisabled 1 extra\n", " SleepDisabled yes\n", " SleepDisabled\n",
                             " SleepDisabled 1\n SleepDisabled 1\n", " SleepDisabledNow 1\n", " SleepDisabled 01\n"}) {
        EXPECT_EQ(sleepDisabled(std::string(header) + line), std::nullopt) << line;
    }
}

TEST(PowerReport, EveryLineBreakSeparatesLines) {
    for (const char* brk : {"\n", "\r", "\r\n", "\v", "\f", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"}) {
        const std::string report =
            std::string("System-wide power settings:") + brk + " SleepDisabled 1" + brk + " standby 0" + brk;
        EXPECT_EQ(sleepDisabled(report), true) << "break " << static_cast<int>(brk[0]);
    }
    // Were the breaks not recognised, these would be one line with too many fields.
    EXPECT_EQ(sleepDisabled("SleepDisabled 0\xE2\x80\xA8standby 1"), false);
}

}  // namespace
