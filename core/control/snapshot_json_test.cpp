#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "sys/json_out.hpp"
#include "control/snapshot_json.hpp"

namespace {

std::string double_text(double value) {
    std::string out;
    append_json_double(out, value);
    return out;
}

std::string string_text(std::string_view value) {
    std::string out;
    append_json_string(out, value);
    return out;
}

TEST(JsonOut, DoublesInTheUsualRangeAreShortestFixedWithAFraction) {
    EXPECT_EQ(double_text(0.0), "0.0");
    EXPECT_EQ(double_text(-0.0), "-0.0");
    EXPECT_EQ(double_text(2000), "2000.0");
    EXPECT_EQ(double_text(20000), "20000.0");
    EXPECT_EQ(double_text(-3), "-3.0");
    EXPECT_EQ(double_text(62.5), "62.5");
    EXPECT_EQ(double_text(0.1), "0.1");
    EXPECT_EQ(double_text(45.12345678), "45.12345678");
    // Shortest notation alone would give "1e+06" here.
    EXPECT_EQ(double_text(1e6), "1000000.0");
    EXPECT_EQ(double_text(static_cast<double>(std::bit_cast<float>(0x44fa0ccdu))), "2000.4000244140625");
}

TEST(JsonOut, NonFiniteDoublesAreNull) {
    EXPECT_EQ(double_text(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(double_text(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(double_text(-std::numeric_limits<double>::infinity()), "null");
}

// Extreme magnitudes switch to exponent notation; whatever the notation, the text must be a
// JSON number that reads back as the very same double.
TEST(JsonOut, EveryFiniteDoubleIsAJsonNumberThatReadsBackTheSame) {
    std::vector<double> values = {1e300,
                                  -1e300,
                                  1e16,
                                  1e-7,
                                  5e-324,
                                  2.2250738585072014e-308,
                                  std::numeric_limits<double>::max(),
                                  123456789012345678.0,
                                  9007199254740993.0,
                                  0.3,
                                  1e-5,
                                  9.999999999999999e15};
    std::mt19937_64 random(20240611);
    for (int i = 0; i < 20000; ++i) {
        const double value = std::bit_cast<double>(random());
        if (std::isfinite(value)) values.push_back(value);
    }
    for (const double value : values) {
        const std::string text = double_text(value);
        const auto parsed = nlohmann::json::parse(text, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << text;
        ASSERT_TRUE(parsed.is_number_float()) << text;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(parsed.get<double>()), std::bit_cast<std::uint64_t>(value)) << text;
    }
    EXPECT_EQ(double_text(1e300), "1e+300");
    EXPECT_EQ(double_text(1e-7), "1e-07");
}

TEST(JsonOut, IntegersArePlainDecimal) {
    std::string out;
    append_json_int(out, 0);
    out += ',';
    append_json_int(out, -42);
    out += ',';
    append_json_int(out, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(out, "0,-42,-9223372036854775808");
}

TEST(JsonOut, StringsEscapeOnlyQuoteBackslashAndControlCharacters) {
    EXPECT_EQ(string_text("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(string_text("\n\r\t\b\f"), R"("\n\r\t\b\f")");
    EXPECT_EQ(string_text(std::string_view("\x01\x1f\0", 3)), R"("\u0001\u001f\u0000")");
    EXPECT_EQ(string_text("/\x7f"), "\"/\x7f\"");
    const std::string korean = "온도가 올라 수동 제어를 중단했습니다.";
    EXPECT_EQ(string_text(korean), "\"" + korean + "\"");
    EXPECT_EQ(string_text("isn\u2019t"), "\"isn\u2019t\"");
}

TEST(SnapshotJson, AbsentMembersAreLeftOutAndOrderIsFixed) {
    std::string out;
    append_snapshot_json(out, Snapshot{});
    EXPECT_EQ(out, R"({"fans":[],"thermal":0,"controlled":[]})");

    out.clear();
    Fan bare;
    bare.id = 3;
    bare.actual = 1800;
    append_fan_json(out, bare);
    EXPECT_EQ(out, R"({"id":3,"actual":1800.0})");
}

TEST(SnapshotJson, FullSnapshot) {
    const Snapshot snapshot{
        .temperature = 62.5,
        .fans = {Fan{.id = 0, .actual = 2000, .minimum = 1200, .maximum = 5000, .target = 2000.5, .mode = 1},
                 Fan{.id = 1,
                     .actual = 0,
                     .minimum = std::nullopt,
                     .maximum = 6000,
                     .target = std::nullopt,
                     .mode = std::nullopt}},
        .controlled = {0},
        .notice = "온도 또는 센서 상태 때문에 자동 제어로 복귀했습니다.",
        .thermal = 1,
    };
    std::string out = "prefix:";
    append_snapshot_json(out, snapshot);
    EXPECT_EQ(out,
              "prefix:{\"fans\":[{\"id\":0,\"actual\":2000.0,\"minimum\":1200.0,\"maximum\":5000.0,"
              "\"target\":2000.5,\"mode\":1},{\"id\":1,\"actual\":0.0,\"maximum\":6000.0}],"
              "\"temperature\":62.5,\"thermal\":1,"
              "\"notice\":\"온도 또는 센서 상태 때문에 자동 제어로 복귀했습니다.\",\"controlled\":[0]}");
}

TEST(SnapshotJson, NonFiniteSpeedAndTemperatureAreNull) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Snapshot snapshot;
    snapshot.temperature = nan;
    snapshot.fans.push_back(Fan{.id = 0,
                                .actual = nan,
                                .minimum = std::nullopt,
                                .maximum = std::nullopt,
                                .target = -nan,
                                .mode = std::nullopt});
    snapshot.controlled = {0, 1};
    std::string out;
    append_snapshot_json(out, snapshot);
    EXPECT_EQ(out,
              R"({"fans":[{"id":0,"actual":null,"target":null}],"temperature":null,"thermal":0,"controlled":[0,1]})");
    EXPECT_FALSE(nlohmann::json::parse(out, nullptr, false).is_discarded());
}

}  // namespace
