#include "Engine/wake_ipc_contract.hpp"
#include "Engine/wake_ipc_error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kHash = "0123456789abcdef0123456789abcdef01234567";

TEST(WakeIPCContract, StartNeedsAnAllowedDurationAndAKnownLimit) {
    EXPECT_TRUE(WakeIPCContract::accepts("start", 60, 2));
    EXPECT_TRUE(WakeIPCContract::accepts("start", 10));
    EXPECT_TRUE(WakeIPCContract::accepts("start", 1440, 1));
    EXPECT_FALSE(WakeIPCContract::accepts("start", 45, 1));
    EXPECT_FALSE(WakeIPCContract::accepts("start", 0, 1));
    EXPECT_FALSE(WakeIPCContract::accepts("start", 1500, 1));
    EXPECT_FALSE(WakeIPCContract::accepts("start", 60, 0));
    EXPECT_FALSE(WakeIPCContract::accepts("start", 60, 3));
}

TEST(WakeIPCContract, OtherVerbsTakeOnlyTheNeutralArguments) {
    for (const char* verb : {"ping", "stop", "restore"}) {
        EXPECT_TRUE(WakeIPCContract::accepts(verb, 0, 1)) << verb;
        EXPECT_TRUE(WakeIPCContract::accepts(verb, 0)) << verb;
        EXPECT_FALSE(WakeIPCContract::accepts(verb, 0, 2)) << verb;
        EXPECT_FALSE(WakeIPCContract::accepts(verb, 10, 1)) << verb;
    }
    EXPECT_FALSE(WakeIPCContract::accepts("status", 0, 1));
    EXPECT_FALSE(WakeIPCContract::accepts("Ping", 0, 1));
    EXPECT_FALSE(WakeIPCContract::accepts("start ", 60, 1));
    EXPECT_FALSE(WakeIPCContract::accepts(std::string("ping\0", 5), 0, 1));
}

TEST(WakeIPCContract, OnlyTheNonRootOwnerIsAPeer) {
    EXPECT_TRUE(WakeIPCContract::acceptsPeer(501, 501));
    EXPECT_FALSE(WakeIPCContract::acceptsPeer(0, 0));
    EXPECT_FALSE(WakeIPCContract::acceptsPeer(502, 501));
    EXPECT_FALSE(WakeIPCContract::acceptsPeer(0, 501));
}

TEST(WakeIPCContract, HashIsFortyLowerCaseHexBytes) {
    EXPECT_TRUE(WakeIPCContract::validHash(kHash));
    EXPECT_FALSE(WakeIPCContract::validHash(kHash.substr(0, 39)));
    EXPECT_FALSE(WakeIPCContract::validHash(kHash + "8"));
    EXPECT_FALSE(WakeIPCContract::validHash("0123456789ABCDEF0123456789ABCDEF01234567"));
    EXPECT_FALSE(WakeIPCContract::validHash("0123456789abcdef 123456789abcdef01234567"));
    EXPECT_FALSE(WakeIPCContract::validHash("0123456789abcdefg123456789abcdef01234567"));
    // 39 characters but 40 bytes: one of them is not ASCII.
    EXPECT_FALSE(WakeIPCContract::validHash("0123456789abcdef0123456789abcdef012345\xC3\xA9"));
}

TEST(WakeIPCContract, RequirementPinsExactlyTheHash) {
    const std::string text = WakeIPCContract::requirement(kHash);
    EXPECT_EQ(text, "cdhash H\"" + kHash + "\"");
    EXPECT_EQ(text.size(), 50u);

    try {
        (void)WakeIPCContract::requirement("0123456789ABCDEF0123456789ABCDEF01234567");
        FAIL() << "an upper-case hash was turned into a requirement";
    } catch (const WakeIPCError& error) {
        EXPECT_EQ(error.message, "올바른 코드 서명이 아닙니다.");
    }
    EXPECT_THROW((void)WakeIPCContract::requirement(""), WakeIPCError);
}

}  // namespace
