#include "sys/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

// The code point and length of the one sequence at the start of `bytes`, or 0 and nothing.
std::pair<std::size_t, char32_t> decoded(std::string_view bytes) {
    char32_t c = 0xFFFFFFFF;
    const std::size_t length = decode_utf8_at(bytes, 0, c);
    return {length, length == 0 ? char32_t{0} : c};
}

TEST(Utf8, DecodesEachLengthUpToItsLimits) {
    using Result = std::pair<std::size_t, char32_t>;
    EXPECT_EQ(decoded("A"), (Result{1, U'A'}));
    EXPECT_EQ(decoded(std::string_view("\0", 1)), (Result{1, 0}));
    EXPECT_EQ(decoded("\x7F"), (Result{1, 0x7F}));
    EXPECT_EQ(decoded("\xC2\x80"), (Result{2, 0x80}));  // smallest two-byte value
    EXPECT_EQ(decoded("\xDF\xBF"), (Result{2, 0x7FF}));
    EXPECT_EQ(decoded("\xE0\xA0\x80"), (Result{3, 0x800}));   // smallest three-byte value
    EXPECT_EQ(decoded("\xED\x9F\xBF"), (Result{3, 0xD7FF}));  // just below the surrogates
    EXPECT_EQ(decoded("\xEE\x80\x80"), (Result{3, 0xE000}));  // just above them
    EXPECT_EQ(decoded("\xED\x95\x9C"), (Result{3, U'한'}));
    EXPECT_EQ(decoded("\xF0\x90\x80\x80"), (Result{4, 0x10000}));
    EXPECT_EQ(decoded("\xF4\x8F\xBF\xBF"), (Result{4, 0x10FFFF}));

    // Decoding starts where it is told and reads no further than the sequence.
    char32_t c = 0;
    EXPECT_EQ(decode_utf8_at("a\xC3\xA9z", 1, c), 2u);
    EXPECT_EQ(c, U'é');
}

TEST(Utf8, RefusesSurrogatesOverlongFormsValuesPastTheLastCodePointAndStrayBytes) {
    for (const std::string_view bad : {
             "\xED\xA0\x80", "\xED\xBF\xBF",                          // surrogates U+D800, U+DFFF
             "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF",  // overlong forms
             "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
             "\xF7\xBF\xBF\xBF",                              // past U+10FFFF
             "\xF8\x88\x80\x80\x80", "\xFF", "\x80", "\xBF",  // a continuation on its own
             "\xC3\x41", "\xE2\x82\x41", "\xF0\x9F\x98\x41",  // interrupted sequences
         }) {
        EXPECT_EQ(decoded(bad).first, 0u) << testing::PrintToString(std::string(bad));
        EXPECT_FALSE(is_valid_utf8(bad)) << testing::PrintToString(std::string(bad));
    }
}

TEST(Utf8, RefusesASequenceTheTextEndsInTheMiddleOf) {
    // The bytes that would complete each sequence lie just past the end of the view.
    const std::string whole = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    for (const auto& [start, cut] : {std::pair{0, 1}, {2, 1}, {2, 2}, {5, 1}, {5, 2}, {5, 3}}) {
        const std::string_view truncated(whole.data() + start, static_cast<std::size_t>(cut));
        char32_t c = 0;
        EXPECT_EQ(decode_utf8_at(truncated, 0, c), 0u) << start << "+" << cut;
        EXPECT_FALSE(is_valid_utf8(truncated)) << start << "+" << cut;
    }
}

TEST(Utf8, WholeTextsAreValidOnlyWhenEverySequenceIs) {
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8("Tavrin 팬 속도 \xF0\x9F\x98\x80 \xC3\xA9"));
    EXPECT_FALSE(is_valid_utf8("팬 \xED\xA0\x80 속도"));
    EXPECT_FALSE(is_valid_utf8("ok\xC3"));
}

}  // namespace
