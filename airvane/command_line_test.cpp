#include "command_line.hpp"
#include "sys/code_hash.hpp"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

struct FakeEnv {
    std::uint32_t euid = 0;
    std::set<std::uint32_t> users{501, 502, 4294967295u};
    int user_lookups = 0;

    DispatchEnv env() {
        return DispatchEnv{
            .effective_uid = [this] { return euid; },
            .user_exists =
                [this](std::uint32_t uid) {
                    ++user_lookups;
                    return users.contains(uid);
                },
        };
    }
};

FanResult<Dispatch> run_dispatch(std::vector<std::string_view> args, FakeEnv& fake) {
    return dispatch(args, fake.env());
}

const std::string kHash(40, 'a');

TEST(UidParsing, AcceptsPlusAndLeadingZeros) {
    EXPECT_EQ(parse_uid("501"), 501u);
    EXPECT_EQ(parse_uid("+501"), 501u);
    EXPECT_EQ(parse_uid("0501"), 501u);
    EXPECT_EQ(parse_uid("4294967295"), 4294967295u);
}

TEST(UidParsing, RefusesEverythingElse) {
    for (std::string_view bad :
         {"", "+", "-501", " 501", "501 ", "501a", "4294967296", "99999999999999999999", "++501", "5 01", "0x1f5"}) {
        EXPECT_EQ(parse_uid(bad), std::nullopt) << "'" << bad << "'";
    }
}

TEST(CodeHash, FortyLowercaseHexDigits) {
    EXPECT_TRUE(is_code_hash("0123456789abcdef0123456789abcdef01234567"));
    EXPECT_FALSE(is_code_hash("0123456789ABCDEF0123456789abcdef01234567"));
    EXPECT_FALSE(is_code_hash(std::string(39, 'a')));
    EXPECT_FALSE(is_code_hash(std::string(41, 'a')));
    EXPECT_FALSE(is_code_hash(std::string(39, 'a') + "g"));
}

TEST(Dispatch, StatusNeedsNothingElse) {
    FakeEnv fake;
    fake.euid = 501;
    EXPECT_EQ(run_dispatch({"--status"}, fake), Dispatch{StatusMode{}});
    EXPECT_EQ(fake.user_lookups, 0);
}

TEST(Dispatch, WrongShapesAreUsageErrors) {
    FakeEnv fake;
    const std::vector<std::vector<std::string_view>> shapes = {
        {},
        {"--status", "x"},
        {"--serve", "501"},
        {"--serve", "501", "u", "x"},
        {"--Serve", "501", "u"},
        {"serve", "501", "u"},
        {"--status", "501", "u"},
        {"--serve"},
    };
    for (const auto& args : shapes) {
        auto result = dispatch(args, fake.env());
        ASSERT_FALSE(result) << args.size();
        EXPECT_EQ(result.error().message, kUsageText);
    }
}

TEST(Dispatch, ServingNeedsRootBeforeAnythingElse) {
    FakeEnv fake;
    fake.euid = 501;
    auto result = run_dispatch({"--daemon", "501", "NOT-A-HASH"}, fake);
    ASSERT_FALSE(result);
    // The root check comes before the code-hash check and before any user lookup.
    EXPECT_EQ(result.error().message, kUsageText);
    EXPECT_EQ(fake.user_lookups, 0);
}

TEST(Dispatch, UidRules) {
    FakeEnv fake;
    auto ok = run_dispatch({"--serve", "+0501", "some-session"}, fake);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::get<ServingArgs>(*ok), (ServingArgs{ServingMode::serve, 501, "some-session"}));

    for (std::string_view uid : {"500", "0", "503", "-501", "501a"}) {
        auto result = run_dispatch({"--serve", uid, "s"}, fake);
        ASSERT_FALSE(result) << uid;
        EXPECT_EQ(result.error().message, kUsageText);
    }
}

TEST(Dispatch, DaemonChecksTheHashAfterTheUser) {
    FakeEnv fake;
    auto ok = run_dispatch({"--daemon", "502", kHash}, fake);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::get<ServingArgs>(*ok), (ServingArgs{ServingMode::daemon, 502, kHash}));

    std::string upper = kHash;
    upper[7] = 'A';
    auto bad_hash = run_dispatch({"--daemon", "502", upper}, fake);
    ASSERT_FALSE(bad_hash);
    EXPECT_EQ(bad_hash.error().message, kBadAppSignature);

    // A bad user is reported as usage even when the hash is bad too.
    auto bad_both = run_dispatch({"--daemon", "500", upper}, fake);
    ASSERT_FALSE(bad_both);
    EXPECT_EQ(bad_both.error().message, kUsageText);
}

TEST(Dispatch, ServeModeLeavesTheSessionIdToTheStartup) {
    FakeEnv fake;
    // The identifier's form is checked later, once the lock is held; only its text matters here.
    auto ok = run_dispatch({"--serve", "501", "not-a-uuid"}, fake);
    ASSERT_TRUE(ok);
}

TEST(Dispatch, ArgumentsThatAreNotTextAreRefused) {
    FakeEnv fake;
    const std::string broken = "\xC3\x28";
    auto result = run_dispatch({"--serve", "501", broken}, fake);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, kUsageText);
    EXPECT_TRUE(run_dispatch({"--serve", "501", "세션"}, fake));
}

}  // namespace
