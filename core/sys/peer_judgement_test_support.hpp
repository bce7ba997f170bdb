#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string_view>
#include <thread>

#include "sys/peer_judgement.hpp"

// A judge stuck on a file system that stopped answering, until the test lets it go. Should the
// code under test wait for it after all, it gives up long after the test has looked and answers
// `satisfies`: such a fault then shows as a peer served, not as a test that never ends.
class StalledJudge {
public:
    std::function<PeerCode()> judge() {
        return [gate = gate_, started = started_] {
            ++*started;
            gate.wait_for(std::chrono::seconds(10));
            return PeerCode::satisfies;
        };
    }
    PeerCodeJudge code_judge() {
        return [stuck = judge()](int, std::string_view) { return stuck(); };
    }
    void release() { opened_.set_value(); }
    int started() const { return started_->load(); }

private:
    std::promise<void> opened_;
    std::shared_future<void> gate_ = opened_.get_future().share();
    std::shared_ptr<std::atomic<int>> started_ = std::make_shared<std::atomic<int>>(0);
};

// Puts `judge` in the place of the peer code check while it lives.
class PeerCodeCheckReplaced {
public:
    explicit PeerCodeCheckReplaced(PeerCodeJudge judge) : previous_(replace_peer_code_check(std::move(judge))) {}
    ~PeerCodeCheckReplaced() { replace_peer_code_check(std::move(previous_)); }
    PeerCodeCheckReplaced(const PeerCodeCheckReplaced&) = delete;
    PeerCodeCheckReplaced& operator=(const PeerCodeCheckReplaced&) = delete;

private:
    PeerCodeJudge previous_;
};

inline void wait_until_no_judgement_under_way() {
    while (judgements_under_way() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
