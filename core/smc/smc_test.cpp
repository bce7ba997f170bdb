#include "smc/smc.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "smc/fake_smc_port.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

class SmcTest : public ::testing::Test {
protected:
    SmcTest() : state(std::make_shared<FakeSmcState>()) {
        state->keys["FNum"] = FakeSmcKey::of("ui8 ", {2});
        state->keys["F0Ac"] = FakeSmcKey::of("fpe2", {0x0F, 0xA0});
        state->keys["F0Tg"] = FakeSmcKey::of("flt ", {0x00, 0x00, 0xFA, 0x44});
        state->keys["F0md"] = FakeSmcKey::of("ui8 ", {0});
        state->keys["TC0P"] = FakeSmcKey::of("sp78", {0x2D, 0x80});
    }

    Smc open() {
        auto smc = Smc::open(FakeSmcPort(state).port());
        EXPECT_TRUE(smc) << (smc ? "" : smc.error().message);
        return std::move(*smc);
    }

    template <typename T>
    static std::string error_of(const FanResult<T>& result) {
        return result ? "(ok)" : result.error().message;
    }

    std::shared_ptr<FakeSmcState> state;
};

TEST_F(SmcTest, OpenReportsMissingServiceAndOpenCode) {
    state->has_service = false;
    EXPECT_EQ(error_of(Smc::open(FakeSmcPort(state).port())), "AppleSMC를 찾을 수 없습니다.");
    EXPECT_EQ(state->releases, 0);

    state->has_service = true;
    state->open_code = 31;
    EXPECT_EQ(error_of(Smc::open(FakeSmcPort(state).port())), "SMC 연결 실패 (0x0000001f)");
    state->open_code = 0xe00002c2;
    EXPECT_EQ(error_of(Smc::open(FakeSmcPort(state).port())), "SMC 연결 실패 (0xe00002c2)");
    EXPECT_EQ(state->releases, 2);  // released whatever the outcome
    EXPECT_TRUE(state->closed.empty());
}

TEST_F(SmcTest, ConnectionClosedExactlyOnceAcrossMoves) {
    {
        Smc first = open();
        EXPECT_EQ(state->releases, 1);
        Smc second = std::move(first);
        Smc third = open();
        third = std::move(second);  // the connection third held is closed here
        EXPECT_EQ(state->closed.size(), 1u);
    }
    EXPECT_EQ(state->closed, (std::vector<std::uint32_t>{FakeSmcPort::kConnection, FakeSmcPort::kConnection}));
}

TEST_F(SmcTest, RequestRecordLayout) {
    Smc smc = open();
    ASSERT_TRUE(smc.write("F0Tg", 2000));
    ASSERT_EQ(state->requests.size(), 2u);

    const SmcRecord& info = state->requests[0];
    EXPECT_EQ(FakeSmcPort::load(info, 0), 0x46305467u);  // "F0Tg", first character on top
    EXPECT_EQ(info[smc_record::kCommand], smc_record::kKeyInfo);
    EXPECT_EQ(FakeSmcPort::load(info, smc_record::kDataSize), 0u);

    SmcRecord expected{};
    expected[0] = 0x67, expected[1] = 0x54, expected[2] = 0x30, expected[3] = 0x46;
    expected[smc_record::kDataSize] = 4;
    expected[smc_record::kCommand] = smc_record::kWriteKey;
    expected[smc_record::kBytes + 2] = 0xFA, expected[smc_record::kBytes + 3] = 0x44;
    EXPECT_EQ(state->requests[1], expected);  // every other byte zero

    ASSERT_TRUE(smc.read("FNum"));
    EXPECT_EQ(FakeSmcPort::load(state->requests[2], 0), 0x464E756Du);
}

TEST_F(SmcTest, KeysOtherThanFourBytesNeverReachThePort) {
    Smc smc = open();
    EXPECT_EQ(error_of(smc.read("FNu")), "SMC 요청 범위 오류");
    EXPECT_EQ(error_of(smc.read("FNumX")), "SMC 요청 범위 오류");
    EXPECT_EQ(error_of(smc.write("F0T", 1)), "SMC 요청 범위 오류");
    EXPECT_TRUE(state->requests.empty());
}

TEST_F(SmcTest, ReadReturnsTypeAndExactlyTheKeysBytes) {
    Smc smc = open();
    const auto value = smc.read("TC0P");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, "sp78");
    EXPECT_EQ(value->bytes, (Bytes{0x2D, 0x80}));
    EXPECT_EQ(value->number(), 45.5);
    EXPECT_EQ(FakeSmcPort::load(state->requests[1], smc_record::kDataSize), 2u);
}

TEST_F(SmcTest, KeyInfoAskedOncePerKey) {
    Smc smc = open();
    ASSERT_TRUE(smc.read("F0Ac"));
    ASSERT_TRUE(smc.read("F0Ac"));
    ASSERT_TRUE(smc.write("F0Ac", 1200));
    EXPECT_EQ(state->commands(), (Bytes{9, 5, 5, 6}));

    // A failed lookup is not remembered.
    EXPECT_EQ(error_of(smc.read("F9Ac")), "F9Ac SMC 응답 오류 (0x84)");
    state->keys["F9Ac"] = FakeSmcKey::of("fpe2", {0x00, 0x04});
    const auto late = smc.read("F9Ac");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->number(), 1.0);
    EXPECT_EQ(state->commands(), (Bytes{9, 5, 5, 6, 9, 9, 5}));
}

TEST_F(SmcTest, KeyInfoSizeOutsideOneToThirtyTwoIsRefusedAndNotCached) {
    Smc smc = open();
    for (std::uint32_t size : {0u, 33u}) {
        state->keys["Bad!"] = FakeSmcKey::of("ui8 ", {1});
        state->keys["Bad!"].reported_size = size;
        EXPECT_EQ(error_of(smc.read("Bad!")), "Bad!의 데이터 크기가 올바르지 않습니다.");
    }
    EXPECT_EQ(state->commands(), (Bytes{9, 9}));

    state->keys["Bad!"].reported_size = 32;
    const auto value = smc.read("Bad!");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->bytes.size(), 32u);
    EXPECT_EQ(FakeSmcPort::load(state->requests.back(), smc_record::kDataSize), 32u);
}

TEST_F(SmcTest, ReturnCodeAndResultByteFormatting) {
    Smc smc = open();
    state->next_code = 0xe00002bc;
    EXPECT_EQ(error_of(smc.read("F0Ac")), "F0Ac 접근 실패 (0xe00002bc)");
    state->next_code = 7;
    EXPECT_EQ(error_of(smc.read("F0Ac")), "F0Ac 접근 실패 (0x00000007)");

    ASSERT_TRUE(smc.read("F0Ac"));
    state->keys["F0Ac"].read_result = 0x82;
    EXPECT_EQ(error_of(smc.read("F0Ac")), "F0Ac SMC 응답 오류 (0x82)");
    state->keys["F0Ac"].read_result = 5;
    EXPECT_EQ(error_of(smc.read("F0Ac")), "F0Ac SMC 응답 오류 (0x05)");
}

TEST_F(SmcTest, ShortOrLongReplyIsAResponseError) {
    Smc smc = open();
    state->next_output_size = 79;
    EXPECT_EQ(error_of(smc.read("F0Ac")), "F0Ac SMC 응답 오류 (0x00)");
    state->next_output_size = 0;
    EXPECT_EQ(error_of(smc.read("F0Ac")), "F0Ac SMC 응답 오류 (0x00)");
    ASSERT_TRUE(smc.read("F0Ac"));
    state->next_output_size = 81;
    EXPECT_EQ(error_of(smc.read("F0Ac")), "F0Ac SMC 응답 오류 (0x00)");
}

TEST_F(SmcTest, WriteChecksRunInOrder) {
    Smc smc = open();
    // The key info comes first: an unknown key reports its lookup, whatever the value.
    EXPECT_EQ(error_of(smc.write("F7md", std::nan(""))), "F7md SMC 응답 오류 (0x84)");
    // Then the value, even for a type that could never be written.
    EXPECT_EQ(error_of(smc.write("TC0P", -1)), "유효하지 않은 SMC 값입니다.");
    EXPECT_EQ(error_of(smc.write("TC0P", 30)), "지원하지 않는 쓰기 형식: sp78");
    EXPECT_EQ(error_of(smc.write("F0md", 1.5)), "모드 범위 오류");
    EXPECT_EQ(state->commands(), (Bytes{9, 9, 9}));  // key info only, no write went out
}

TEST_F(SmcTest, ForeignTypeBytesStayValidText) {
    state->keys["Xxxx"] = FakeSmcKey::of("ui8 ", {1});
    state->keys["Xxxx"].type = 0x75693880;  // "ui8" followed by byte 0x80
    Smc smc = open();
    const auto value = smc.read("Xxxx");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, "ui8\xC2\x80");
    EXPECT_EQ(value->number(), std::nullopt);
    EXPECT_EQ(error_of(smc.write("Xxxx", 1)), "지원하지 않는 쓰기 형식: ui8\xC2\x80");
}

TEST_F(SmcTest, FailedWriteThatTookEffectCountsAsDone) {
    Smc smc = open();
    FakeSmcKey& target = state->keys["F0Ac"];
    target.write_result = 0x82;
    target.write_takes_effect = true;
    // Compared at the key's precision: 1000.1 is stored as 1000.0.
    EXPECT_TRUE(smc.write("F0Ac", 1000.1));
    EXPECT_EQ(target.bytes, (Bytes{0x0F, 0xA0}));
    EXPECT_EQ(state->commands(), (Bytes{9, 6, 5}));

    target.write_result = 0;
    target.write_code = 0xe00002bc;
    EXPECT_TRUE(smc.write("F0Ac", 1200));
}

TEST_F(SmcTest, FailedWriteWithoutEffectReturnsTheWriteError) {
    Smc smc = open();
    FakeSmcKey& mode = state->keys["F0md"];
    mode.write_result = 0x82;
    mode.write_takes_effect = false;
    EXPECT_EQ(error_of(smc.write("F0md", 1)), "F0md SMC 응답 오류 (0x82)");

    // The re-read failing as well still reports the write's own error.
    mode.read_result = 0x84;
    EXPECT_EQ(error_of(smc.write("F0md", 1)), "F0md SMC 응답 오류 (0x82)");
    mode.write_code = 0xe00002ed;
    EXPECT_EQ(error_of(smc.write("F0md", 1)), "F0md 접근 실패 (0xe00002ed)");
    EXPECT_EQ(state->commands(), (Bytes{9, 6, 5, 6, 5, 6, 5}));
}

}  // namespace
