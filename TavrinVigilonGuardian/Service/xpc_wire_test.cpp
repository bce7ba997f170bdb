#include "Service/xpc_wire.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(XPCWire, MessagesReadBackAsWritten) {
    EXPECT_EQ(encodeRequest({"start", 60, 2}), R"({"verb":"start","minutes":60,"thermalLimit":2})");
    const auto request = decodeRequest(encodeRequest({"start", -9223372036854775807 - 1, 2}));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->verb, "start");
    EXPECT_EQ(request->minutes, -9223372036854775807 - 1);
    EXPECT_EQ(request->thermalLimit, 2);

    EXPECT_EQ(encodeReply({true, "완료"}), R"({"ok":true,"message":"완료"})");
    const auto reply = decodeReply(encodeReply({false, "설치 또는 제거가 진행 중입니다.\n\"x\""}));
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->ok);
    EXPECT_EQ(reply->message, "설치 또는 제거가 진행 중입니다.\n\"x\"");

    EXPECT_EQ(decodeAnnouncement(encodeAnnouncement("ab12")), "ab12");
    // Keys the other side does not know yet are no reason to refuse.
    EXPECT_TRUE(decodeReply(R"({"message":"3","ok":true,"extra":[1]})"));
}

TEST(XPCWire, AnythingElseIsNotAMessage) {
    for (const std::string& line : std::initializer_list<std::string>{
             "",
             "null",
             "[]",
             "not json",
             R"({"verb":"ping","minutes":0})",
             R"({"verb":"ping","minutes":0,"thermalLimit":1.0})",
             R"({"verb":"ping","minutes":"0","thermalLimit":1})",
             R"({"verb":1,"minutes":0,"thermalLimit":1})",
             R"({"verb":"ping","minutes":9223372036854775808,"thermalLimit":1})",
             R"({"verb":"ping","verb":"stop","minutes":0,"thermalLimit":1})",
             std::string(R"({"verb":"ping","minutes":0,"thermalLimit":1})") + std::string(1, '\0'),
             R"({"verb":"ping","minutes":0,"thermalLimit":1} {})",
         }) {
        EXPECT_FALSE(decodeRequest(line)) << line;
    }
    EXPECT_FALSE(decodeReply(R"({"ok":1,"message":"x"})"));
    EXPECT_FALSE(decodeReply(R"({"ok":true})"));
    EXPECT_FALSE(decodeAnnouncement(R"({"codeHash":null})"));
}

TEST(XPCWire, ReplyWithBrokenTextStillGoesOut) {
    const auto reply = decodeReply(encodeReply({false, "bad \xFF byte"}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->message, "bad \xEF\xBF\xBD byte");
}

}  // namespace
