#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "virtual_smc_control.hpp"
#include "virtual_smc_device.hpp"
#include "virtual_smc_types.hpp"

namespace vsmc {
namespace {

constexpr std::uint8_t kOk = smc_record::kResultOk;
constexpr std::uint8_t kRefused = smc_record::kResultRefused;

Machine machine(const char* profile, Options options = {}) {
    return Machine(*find_profile(profile), static_cast<int>(find_profile(profile)->fan_limits.size()), options, 0);
}

std::uint8_t write_byte(Machine& m, const char* key, std::uint8_t value, double now) {
    const std::uint8_t b[] = {value};
    return m.write(key, b, now);
}

double value(const Machine& m, const std::string& key) {
    const auto& k = m.keys().at(key);
    return decode_number(k.type, k.bytes).value();
}

Record request(const char* key, std::uint8_t command, std::vector<std::uint8_t> data = {}, std::uint32_t size = 0) {
    Record r{};
    set_record_u32(r, smc_record::kKey, smc_record::pack_key(key));
    set_record_u32(r, smc_record::kDataSize, size != 0 ? size : static_cast<std::uint32_t>(data.size()));
    r[smc_record::kCommand] = command;
    std::copy(data.begin(), data.end(), r.begin() + smc_record::kBytes);
    return r;
}

ControlReply ctl(Device& d, std::vector<std::string> words, double now = 0) { return run_control(d, words, now); }

TEST(VirtualSmcSwitch, ForcedModeWaitsForFtstToHaveReadOneForTheUnlockDelay) {
    Machine m = machine("apple");
    EXPECT_EQ(write_byte(m, "F0md", 1, 0), kRefused);
    EXPECT_EQ(write_byte(m, "Ftst", 1, 1), kOk);
    EXPECT_EQ(write_byte(m, "Ftst", 1, 3), kOk);  // writing 1 again does not restart the clock
    EXPECT_EQ(write_byte(m, "F0md", 1, 3.9), kRefused);
    EXPECT_EQ(write_byte(m, "F0md", 1, 4.0), kOk);
    EXPECT_EQ(value(m, "F0md"), 1);
    EXPECT_EQ(write_byte(m, "Ftst", 0, 5), kOk);
    EXPECT_EQ(write_byte(m, "F1md", 1, 9), kRefused);
    EXPECT_EQ(write_byte(m, "F1md", 2, 9), kRefused);  // not a mode
}

TEST(VirtualSmcSwitch, WithoutFtstTheModeKeyWorksAtOnce) {
    Machine intel = machine("intel");
    EXPECT_EQ(write_byte(intel, "F0Md", 1, 0), kOk);
    EXPECT_EQ(intel.write("F0md", std::vector<std::uint8_t>{1}, 0), smc_record::kResultUnknownKey);
    Machine apple = machine("apple");
    ASSERT_TRUE(apple.remove("Ftst", 0));
    EXPECT_EQ(write_byte(apple, "F1md", 1, 0), kOk);
}

TEST(VirtualSmcSwitch, HandBackLagsByTheReleaseDelayAndAStuckFanNeverLeaves) {
    Machine m = machine("newer", Options{.release_delay = 0.5});
    ASSERT_EQ(write_byte(m, "F0md", 1, 0), kOk);
    ASSERT_EQ(write_byte(m, "F1md", 1, 0), kOk);
    ASSERT_TRUE(m.set_stuck(1, true));
    EXPECT_EQ(write_byte(m, "F0md", 0, 10), kOk);
    EXPECT_EQ(write_byte(m, "F1md", 0, 10), kOk);
    m.advance(10.49);
    EXPECT_EQ(value(m, "F0md"), 1);
    m.advance(10.5);
    EXPECT_EQ(value(m, "F0md"), 0);
    m.advance(20);
    EXPECT_EQ(value(m, "F1md"), 1);
    // Forcing again cancels a pending hand-back.
    ASSERT_EQ(write_byte(m, "F0md", 1, 21), kOk);
    ASSERT_EQ(write_byte(m, "F0md", 0, 22), kOk);
    ASSERT_EQ(write_byte(m, "F0md", 1, 22.2), kOk);
    m.advance(30);
    EXPECT_EQ(value(m, "F0md"), 1);
}

TEST(VirtualSmcPhysics, ForcedFanApproachesItsTargetWithAOneSecondTimeConstant) {
    Machine m = machine("newer");
    ASSERT_EQ(write_byte(m, "F0md", 1, 0), kOk);
    ASSERT_EQ(m.write("F0Tg", *encode_number("flt ", 3000), 0), kOk);
    const double start = m.fans()[0].actual;
    m.advance(1);
    EXPECT_NEAR(m.fans()[0].actual, start + (3000 - start) * (1 - std::exp(-1.0)), 5);
    m.advance(12);
    EXPECT_NEAR(value(m, "F0Ac"), 3000, 1);
    // A target above the maximum is held at the maximum.
    ASSERT_EQ(m.write("F0Tg", *encode_number("flt ", 9000), 12), kOk);
    m.advance(30);
    EXPECT_NEAR(value(m, "F0Ac"), 5779, 1);
}

TEST(VirtualSmcPhysics, AutomaticTargetFollowsTheHottestSensorAndLoadHeatsTheDie) {
    Machine m = machine("intel", Options{.load = 10});
    m.advance(1);
    EXPECT_EQ(value(m, "F1Tg"), 2000);
    const double cool = value(m, "TC0P");
    m.set_load(100);
    m.advance(20);
    EXPECT_GT(value(m, "TC0P"), cool + 20);
    m.set("TC0D", "sp78", *encode_number("sp78", 95), 20);
    m.advance(20.1);
    EXPECT_EQ(value(m, "F1Tg"), 6199);
    EXPECT_EQ(value(m, "TC0D"), 95);  // pinned
    ASSERT_TRUE(m.free("TC0D"));
    m.advance(21);
    EXPECT_NE(value(m, "TC0D"), 95);
}

TEST(VirtualSmcDevice, AnswersKeyInfoReadAndWriteRecords) {
    Device d(machine("apple"), 0);
    Record info = d.handle(request("F0Ac", smc_record::kKeyInfo), 0, Caller::root);
    EXPECT_EQ(info[smc_record::kResult], kOk);
    EXPECT_EQ(record_u32(info, smc_record::kDataSize), 4u);
    EXPECT_EQ(record_u32(info, smc_record::kDataType), 0x666C7420u);  // "flt "
    EXPECT_EQ(d.handle(request("F0Md", smc_record::kKeyInfo), 0, Caller::root)[smc_record::kResult], 0x84);
    // A read answers with the key's own size whatever the caller assumed.
    Record read = d.handle(request("FNum", smc_record::kReadKey, {}, 32), 0, Caller::root);
    EXPECT_EQ(record_u32(read, smc_record::kDataSize), 1u);
    EXPECT_EQ(read[smc_record::kBytes], 2);
    EXPECT_EQ(d.handle(request("F0Tg", smc_record::kWriteKey, {0, 0}), 0, Caller::root)[smc_record::kResult], kRefused);
    EXPECT_EQ(d.handle(request("F0Ac", smc_record::kWriteKey, {0, 0, 0, 0}), 0, Caller::root)[smc_record::kResult],
              kRefused);
    EXPECT_EQ(d.handle(request("FNum", 7), 0, Caller::root)[smc_record::kResult], kResultBadCommand);
    EXPECT_EQ(d.counts().at("FNum").read, 1u);
}

TEST(VirtualSmcDevice, InjectedFaultsAreSpentInOrderAndAnAppliedWriteTakesEffect) {
    Device d(machine("newer"), 0);
    ASSERT_TRUE(ctl(d, {"set", "F0md", "1"}).ok);
    ASSERT_TRUE(ctl(d, {"refuse", "F0Tg", "1"}).ok);
    ASSERT_TRUE(ctl(d, {"fail", "F0Tg", "1", "rc", "0xe00002bc", "write", "applied"}).ok);
    const auto target = request("F0Tg", smc_record::kWriteKey, *encode_number("flt ", 2500));
    EXPECT_EQ(d.handle(target, 0, Caller::root)[smc_record::kResult], kRefused);
    EXPECT_EQ(value(d.machine(), "F0Tg"), 1200);
    const Record failed = d.handle(target, 0, Caller::root);
    EXPECT_EQ(record_u32(failed, smc_record::kTransportReturn), 0xe00002bcu);
    EXPECT_EQ(value(d.machine(), "F0Tg"), 2500);
    EXPECT_EQ(record_u32(d.handle(target, 0, Caller::root), smc_record::kTransportReturn), 0u);

    ASSERT_TRUE(ctl(d, {"fail", "FNum", "always", "result", "0x85", "info"}).ok);
    ASSERT_TRUE(ctl(d, {"info-size", "F1Mx", "33", "1"}).ok);
    EXPECT_EQ(d.handle(request("FNum", smc_record::kKeyInfo), 0, Caller::root)[smc_record::kResult], 0x85);
    EXPECT_EQ(d.handle(request("FNum", smc_record::kReadKey), 0, Caller::root)[smc_record::kResult], kOk);
    EXPECT_EQ(record_u32(d.handle(request("F1Mx", smc_record::kKeyInfo), 0, Caller::root), smc_record::kDataSize), 33u);
    EXPECT_EQ(record_u32(d.handle(request("F1Mx", smc_record::kKeyInfo), 0, Caller::root), smc_record::kDataSize), 4u);
    ASSERT_TRUE(ctl(d, {"clear"}).ok);
    EXPECT_EQ(d.handle(request("FNum", smc_record::kKeyInfo), 0, Caller::root)[smc_record::kResult], kOk);
}

TEST(VirtualSmcDevice, OnlyRootWritesAndEveryoneReads) {
    Device d(machine("newer"), 0);
    ASSERT_TRUE(ctl(d, {"refuse", "F0md", "1"}).ok);
    const Record refused = d.handle(request("F0md", smc_record::kWriteKey, {1}), 0, Caller::user);
    EXPECT_EQ(record_u32(refused, smc_record::kTransportReturn), smc_return::kNotPrivileged);
    EXPECT_EQ(value(d.machine(), "F0md"), 0);
    EXPECT_EQ(d.writes().back().transport, smc_return::kNotPrivileged);
    const Record read = d.handle(request("F0md", smc_record::kReadKey, {}, 1), 0, Caller::user);
    EXPECT_EQ(record_u32(read, smc_record::kTransportReturn), 0u);
    EXPECT_EQ(read[smc_record::kResult], kOk);
    // The refusal armed for the key is still there for root's first write.
    EXPECT_EQ(d.handle(request("F0md", smc_record::kWriteKey, {1}), 0, Caller::root)[smc_record::kResult], kRefused);
    EXPECT_EQ(d.handle(request("F0md", smc_record::kWriteKey, {1}), 0, Caller::root)[smc_record::kResult], kOk);
    EXPECT_EQ(value(d.machine(), "F0md"), 1);
}

TEST(VirtualSmcControl, RefusesMalformedCommandsAndDumpsTheStateAsJson) {
    Device d(machine("apple"), 0);
    EXPECT_FALSE(ctl(d, {"set", "NOPE", "1"}).ok);
    EXPECT_FALSE(ctl(d, {"set", "FNum", "256"}).ok);
    EXPECT_FALSE(ctl(d, {"retype", "F0Ac", "flt", "0g"}).ok);
    EXPECT_FALSE(ctl(d, {"retype", "F0", "flt", "00"}).ok);
    EXPECT_FALSE(ctl(d, {"fail", "F0Ac", "0", "rc", "0x1"}).ok);
    EXPECT_FALSE(ctl(d, {"fail", "F0Ac", "1", "result", "0x100"}).ok);
    EXPECT_FALSE(ctl(d, {"load", "101"}).ok);
    EXPECT_FALSE(ctl(d, {"stuck", "on", "2"}).ok);
    EXPECT_FALSE(ctl(d, {"bogus"}).ok);

    ASSERT_TRUE(ctl(d, {"retype", "Zz\x01\xff", "flt", "ffffffff"}).ok);
    EXPECT_EQ(ctl(d, {"get", "Zz\x01\xff"}).text, "\"flt \" ffffffff");  // a NaN has no number
    ASSERT_TRUE(ctl(d, {"set", "Tp01", "71.5"}).ok);
    EXPECT_EQ(ctl(d, {"get", "Tp01"}).text, "71.5");
    const auto dump = nlohmann::json::parse(ctl(d, {"dump"}).text);
    EXPECT_EQ(dump["profile"], "apple");
    EXPECT_EQ(dump["keys"]["Tp01"]["pinned"], true);
    EXPECT_EQ(dump["keys"]["F0md"]["type"], "ui8 ");
    EXPECT_EQ(dump["fans"].size(), 2u);
}

TEST(VirtualSmcTypes, EncodesEveryServedType) {
    EXPECT_EQ(encode_number("fpe2", 1000.1), (std::vector<std::uint8_t>{0x0f, 0xa0}));
    EXPECT_EQ(encode_number("fpe2", 0.125), (std::vector<std::uint8_t>{0x00, 0x01}));
    EXPECT_FALSE(encode_number("fpe2", 16384));
    EXPECT_EQ(encode_number("sp78", -1), (std::vector<std::uint8_t>{0xff, 0x00}));
    EXPECT_EQ(encode_number("sp78", 45.5), (std::vector<std::uint8_t>{0x2d, 0x80}));
    EXPECT_EQ(encode_number("ui16", 1200), (std::vector<std::uint8_t>{0x04, 0xb0}));
    EXPECT_FALSE(encode_number("ui8 ", 1.5));
    EXPECT_FALSE(encode_number("ui8 ", 256));
    EXPECT_FALSE(encode_number("abcd", 1));
    EXPECT_EQ(from_hex("0x04B0"), (std::vector<std::uint8_t>{0x04, 0xb0}));
    EXPECT_FALSE(from_hex("4b0"));
}

}  // namespace
}  // namespace vsmc
