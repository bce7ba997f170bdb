#include "Engine/heartbeat.hpp"
#include "Engine/wake_guardian_state.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

WakeGuardianState runningSession() {
    return WakeGuardianState{
        .schemaVersion = 1,
        .active = true,
        .startedAt = 1700000000.25,
        .expiresAt = 1700001800.25,
        .startedUptime = 1000,
        .deadlineUptime = 2800,
        .bootTime = 4611686018427387904,
        .lastUpdated = 1700000000.25,
        .stopReason = std::nullopt,
        .error = std::nullopt,
        .coolingRequired = std::nullopt,
        .thermalLimit = 2,
    };
}

std::set<std::string> keysOf(const std::string& text) {
    std::set<std::string> keys;
    const auto object = nlohmann::json::parse(text);
    for (const auto& [key, value] : object.items()) keys.insert(key);
    return keys;
}

TEST(WakeGuardianState, IdleRecordWritesOnlyRequiredKeys) {
    const auto idle = WakeGuardianState::idle(std::nullopt, std::nullopt, 1700000000);
    const std::string text = encodeJSON(idle);
    EXPECT_EQ(text, R"({"schemaVersion":1,"active":false,"lastUpdated":1700000000.0})");
    EXPECT_EQ(decodeGuardianState(text), idle);
}

TEST(WakeGuardianState, RunningSessionRoundTripsWithItsKeys) {
    const auto session = runningSession();
    const std::string text = encodeJSON(session);
    EXPECT_EQ(keysOf(text), (std::set<std::string>{"schemaVersion", "active", "startedAt", "expiresAt", "startedUptime",
                                                   "deadlineUptime", "bootTime", "lastUpdated", "thermalLimit"}));
    EXPECT_EQ(decodeGuardianState(text), session);

    auto ended = WakeGuardianState::idle("복구", "재시도: \"x\"", 0.1 + 0.2);
    ended.coolingRequired = false;
    EXPECT_EQ(decodeGuardianState(encodeJSON(ended)), ended);
}

TEST(WakeGuardianState, ReadingIsLenientAboutNullAndUnknownKeys) {
    const auto state = decodeGuardianState(
        R"({"active":true,"schemaVersion":1,"lastUpdated":5,"startedAt":null,"error":null,"future":[1,{"a":2}]})");
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->active);
    EXPECT_EQ(state->lastUpdated, 5.0);
    EXPECT_FALSE(state->startedAt);
    EXPECT_FALSE(state->error);
}

TEST(WakeGuardianState, ReadingRejectsMissingOrMistypedKeys) {
    for (const char* text : {
             R"({"schemaVersion":1,"active":false})",
             R"({"schemaVersion":1,"lastUpdated":1})",
             R"({"active":false,"lastUpdated":1})",
             R"({"schemaVersion":1,"active":null,"lastUpdated":1})",
             R"({"schemaVersion":1.0,"active":false,"lastUpdated":1})",
             R"({"schemaVersion":"1","active":false,"lastUpdated":1})",
             R"({"schemaVersion":1,"active":0,"lastUpdated":1})",
             R"({"schemaVersion":1,"active":false,"lastUpdated":"1"})",
             R"({"schemaVersion":1,"active":false,"lastUpdated":1,"bootTime":9223372036854775808})",
             R"({"schemaVersion":1,"active":false,"lastUpdated":1,"thermalLimit":1.5})",
             R"({"schemaVersion":1,"active":false,"lastUpdated":1,"stopReason":3})",
             R"({"schemaVersion":1,"active":false,"lastUpdated":1,"coolingRequired":"yes"})",
             R"({"schemaVersion":1,"active":false,"lastUpdated":1,"active":true})",
             R"([{"schemaVersion":1,"active":false,"lastUpdated":1}])",
             R"({"schemaVersion":1,"active":false,"lastUpdated":1} trailing)",
             "",
         }) {
        EXPECT_FALSE(decodeGuardianState(text)) << text;
    }
    // Bytes a parser would read past: a NUL ends its input, a byte-order mark it skips.
    const std::string sound = R"({"schemaVersion":1,"active":false,"lastUpdated":1})";
    ASSERT_TRUE(decodeGuardianState(sound));
    EXPECT_FALSE(decodeGuardianState(sound + '\0' + "x"));
    EXPECT_FALSE(decodeGuardianState("\xEF\xBB\xBF" + sound));
}

TEST(WakeGuardianState, NumbersThatJsonCannotHoldAreNotWritten) {
    auto state = runningSession();
    state.expiresAt = std::numeric_limits<double>::infinity();
    EXPECT_THROW(encodeJSON(state), std::exception);
}

TEST(Heartbeat, RoundTripAndRequiredKeys) {
    const Heartbeat heartbeat{.pid = 321, .bootTime = 77, .uptime = 12.5};
    EXPECT_EQ(decodeHeartbeat(encodeJSON(heartbeat)), heartbeat);
    EXPECT_FALSE(decodeHeartbeat(R"({"pid":321,"bootTime":77})"));
    EXPECT_FALSE(decodeHeartbeat(R"({"pid":4294967296,"bootTime":77,"uptime":1})"));
}

TEST(Heartbeat, FreshnessRule) {
    const std::int32_t alive = ::getpid();
    const Heartbeat heartbeat{.pid = alive, .bootTime = 77, .uptime = 100};
    EXPECT_TRUE(heartbeatIsFresh(heartbeat, 77, 105.9));
    EXPECT_TRUE(heartbeatIsFresh(heartbeat, 77, 100));
    EXPECT_FALSE(heartbeatIsFresh(heartbeat, 77, 106));
    EXPECT_FALSE(heartbeatIsFresh(heartbeat, 77, 99.9)) << "uptime went back";
    EXPECT_FALSE(heartbeatIsFresh(heartbeat, 78, 101)) << "another boot";
    EXPECT_FALSE(heartbeatIsFresh({.pid = alive, .bootTime = 0, .uptime = 100}, 0, 101));
    EXPECT_FALSE(heartbeatIsFresh({.pid = 1, .bootTime = 77, .uptime = 100}, 77, 101));
    EXPECT_FALSE(heartbeatIsFresh({.pid = 0, .bootTime = 77, .uptime = 100}, 77, 101));

    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    EXPECT_FALSE(heartbeatIsFresh({.pid = gone, .bootTime = 77, .uptime = 100}, 77, 101));
}

}  // namespace
