#include "sys/peer_judgement.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "sys/peer_judgement_test_support.hpp"

namespace {

TEST(PeerJudgement, AVerdictInTimePassesThroughAndAStalledOneIsRefusedWhileItIsStillStuck) {
    EXPECT_EQ(judge_within([] { return PeerCode::satisfies; }), PeerCode::satisfies);
    EXPECT_EQ(judge_within([] { return PeerCode::unreadable; }), PeerCode::unreadable);
    EXPECT_EQ(judge_within([]() -> PeerCode { throw std::runtime_error("gone"); }), PeerCode::fails);

    StalledJudge stalled;
    EXPECT_EQ(judge_within(stalled.judge(), 0.05), PeerCode::fails);
    EXPECT_EQ(judgements_under_way(), 1);  // abandoned, not ended: its answer can no longer count
    stalled.release();
    wait_until_no_judgement_under_way();
}

TEST(PeerJudgement, TooManyStuckJudgementsRefuseTheNextWithoutRunningIt) {
    StalledJudge stalled;
    for (int i = 0; i < kMaxJudgementsUnderWay; ++i) EXPECT_EQ(judge_within(stalled.judge(), 0.001), PeerCode::fails);
    std::atomic<bool> ran{false};
    const auto quick = [&] {
        ran = true;
        return PeerCode::satisfies;
    };
    EXPECT_EQ(judge_within(quick), PeerCode::fails);
    EXPECT_FALSE(ran);

    stalled.release();
    wait_until_no_judgement_under_way();
    EXPECT_EQ(judge_within(quick), PeerCode::satisfies);
}

}  // namespace
