#include "smc/smc_value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::optional<double> decode(const char* type, Bytes bytes) { return SmcValue{type, std::move(bytes)}.number(); }

std::string error_of(const FanResult<Bytes>& result) { return result ? "(ok)" : result.error().message; }

TEST(SmcValueDecode, FixedPointTypes) {
    EXPECT_EQ(decode("fpe2", {0x0F, 0xA0}), 1000.0);
    EXPECT_EQ(decode("fpe2", {0xFF, 0xFF}), 16383.75);
    EXPECT_EQ(decode("sp78", {0x2D, 0x80}), 45.5);
    EXPECT_EQ(decode("sp78", {0xFF, 0x00}), -1.0);
}

TEST(SmcValueDecode, IntegersAreBigEndian) {
    EXPECT_EQ(decode("ui8 ", {0xC8}), 200.0);
    EXPECT_EQ(decode("ui16", {0x12, 0x34}), 0x1234);
    EXPECT_EQ(decode("ui32", {0x80, 0x00, 0x00, 0x01}), 2147483649.0);
}

TEST(SmcValueDecode, FloatIsLittleEndianAndMustBeFinite) {
    EXPECT_EQ(decode("flt ", {0x00, 0x00, 0xFA, 0x44}), 2000.0);
    EXPECT_EQ(decode("flt ", {0x00, 0x00, 0xC0, 0x7F}), std::nullopt);  // NaN
    EXPECT_EQ(decode("flt ", {0x00, 0x00, 0x80, 0x7F}), std::nullopt);  // +inf
    EXPECT_EQ(decode("flt ", {0x00, 0x00, 0x80, 0xFF}), std::nullopt);  // -inf
}

TEST(SmcValueDecode, NoNumberForWrongSizeOrType) {
    EXPECT_EQ(decode("ui8 ", {0x01, 0x02}), std::nullopt);
    EXPECT_EQ(decode("fpe2", {0x0F}), std::nullopt);
    EXPECT_EQ(decode("flt ", {0x00, 0x00, 0xFA}), std::nullopt);
    EXPECT_EQ(decode("ui8", {0x01}), std::nullopt);
    EXPECT_EQ(decode("flag", {0x01}), std::nullopt);
}

TEST(SmcValueEncode, Fpe2RoundsAtQuarters) {
    EXPECT_EQ(encode_smc_value("fpe2", 2, 1000.1), (Bytes{0x0F, 0xA0}));
    EXPECT_EQ(encode_smc_value("fpe2", 2, 0.125), (Bytes{0x00, 0x01}));  // half rounds away from zero
    EXPECT_EQ(encode_smc_value("fpe2", 2, 16383.75), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(error_of(encode_smc_value("fpe2", 2, 16384)), "RPM 범위 오류");
    EXPECT_EQ(error_of(encode_smc_value("fpe2", 4, 1000)), "RPM 범위 오류");
}

TEST(SmcValueEncode, FloatIsLittleEndianSinglePrecision) {
    EXPECT_EQ(encode_smc_value("flt ", 4, 2000.0), (Bytes{0x00, 0x00, 0xFA, 0x44}));
    EXPECT_TRUE(encode_smc_value("flt ", 4, 3.4028234663852886e38));
    EXPECT_EQ(error_of(encode_smc_value("flt ", 4, 3.5e38)), "float 범위 오류");
    EXPECT_EQ(error_of(encode_smc_value("flt ", 2, 1)), "float 범위 오류");
}

TEST(SmcValueEncode, ModeByte) {
    EXPECT_EQ(encode_smc_value("ui8 ", 1, -0.0), (Bytes{0x00}));
    EXPECT_EQ(encode_smc_value("ui8 ", 1, 255), (Bytes{0xFF}));
    EXPECT_EQ(error_of(encode_smc_value("ui8 ", 1, 1.5)), "모드 범위 오류");
    EXPECT_EQ(error_of(encode_smc_value("ui8 ", 1, 256)), "모드 범위 오류");
    EXPECT_EQ(error_of(encode_smc_value("ui8 ", 2, 1)), "모드 범위 오류");
}

TEST(SmcValueEncode, ValueIsCheckedBeforeType) {
    for (double bad :
         {-1.0, std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(error_of(encode_smc_value("ui8 ", 1, bad)), "유효하지 않은 SMC 값입니다.");
        EXPECT_EQ(error_of(encode_smc_value("sp78", 2, bad)), "유효하지 않은 SMC 값입니다.");
    }
}

TEST(SmcValueEncode, ReadOnlyTypesNameThemselves) {
    EXPECT_EQ(error_of(encode_smc_value("sp78", 2, 1)), "지원하지 않는 쓰기 형식: sp78");
    EXPECT_EQ(error_of(encode_smc_value("ui16", 2, 1)), "지원하지 않는 쓰기 형식: ui16");
    EXPECT_EQ(error_of(encode_smc_value("ui32", 4, 1)), "지원하지 않는 쓰기 형식: ui32");
    EXPECT_EQ(error_of(encode_smc_value("ui8", 1, 1)), "지원하지 않는 쓰기 형식: ui8");
}

}  // namespace
