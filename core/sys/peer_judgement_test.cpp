#include "sys/peer_judgement.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

// A judge stuck on a file system that stopped answering, until the test lets it go.
class StalledJudge {
public:
    std::function<PeerCode()> judge() {
        return [gate = gate_] {
            gate.wait();
            return PeerCode::satisfies;
        };
    }
    void release() { opened_.set_value(); }

private:
    std::promise<void> opened_;
    std::shared_future<void> gate_ = opened_.get_future().share();
};

void wait_until_none_under_way() {
    while (judgements_under_way() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(PeerJudgement, AVerdictInTimePassesThroughAndAStalledOneIsRefusedWhileItIsStillStuck) {
    EXPECT_EQ(judge_within([] { return PeerCode::satisfies; }), PeerCode::satisfies);
    EXPECT_EQ(judge_within([] { return PeerCode::unreadable; }), PeerCode::unreadable);
    EXPECT_EQ(judge_within([]() -> PeerCode { throw std::runtime_error("gone"); }), PeerCode::fails);

    StalledJudge stalled;
    EXPECT_EQ(judge_within(stalled.judge(), 0.05), PeerCode::fails);
    EXPECT_EQ(judgements_under_way(), 1);  // abandoned, not ended: its answer can no longer count
    stalled.release();
    wait_until_none_under_way();
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
    wait_until_none_under_way();
    EXPECT_EQ(judge_within(quick), PeerCode::satisfies);
}

}  // namespace
