#include "sys/peer_process_linux.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kRequired(40, 'a');

// A peer process whose readings the case scripts, step by step.
struct ScriptedPeer {
    std::vector<std::optional<pid_t>> pids{42, 42};  // before and after the executable is read
    bool alive_after = true;
    PeerExecutable executable{.hash = kRequired, .denied = false};
    std::size_t pid_reads = 0;

    PeerProcessProbe probe() {
        return PeerProcessProbe{
            .pid_of = [this](int) { return pids.at(std::min(pid_reads++, pids.size() - 1)); },
            .alive = [this](int) { return alive_after; },
            .executable = [this](pid_t) { return executable; },
        };
    }
};

PeerCode judge(ScriptedPeer& peer) { return judge_peer_process(7, kRequired, peer.probe()); }

TEST(PeerProcess, TheExecutableCountsOnlyIfItsProcessOutlivedTheReading) {
    ScriptedPeer running;
    EXPECT_EQ(judge(running), PeerCode::satisfies);

    // The peer died while its executable was read: what was read may be another process's.
    ScriptedPeer died;
    died.alive_after = false;
    EXPECT_EQ(judge(died), PeerCode::fails);

    // Reaped and its pid given to another process meanwhile.
    ScriptedPeer replaced;
    replaced.pids = {42, 43};
    EXPECT_EQ(judge(replaced), PeerCode::fails);
    ScriptedPeer reaped;
    reaped.pids = {42, std::nullopt};
    EXPECT_EQ(judge(reaped), PeerCode::fails);
    ScriptedPeer gone;
    gone.pids = {std::nullopt};
    EXPECT_EQ(judge(gone), PeerCode::fails);
}

TEST(PeerProcess, OtherCodeFailsAndAHiddenExecutableIsUnreadable) {
    ScriptedPeer other;
    other.executable.hash = std::string(40, 'b');
    EXPECT_EQ(judge(other), PeerCode::fails);

    // Too large or too slow to hash: no answer is no.
    ScriptedPeer unhashed;
    unhashed.executable.hash.reset();
    EXPECT_EQ(judge(unhashed), PeerCode::fails);

    ScriptedPeer hidden;
    hidden.executable = PeerExecutable{.hash = std::nullopt, .denied = true};
    EXPECT_EQ(judge(hidden), PeerCode::unreadable);
    hidden.alive_after = false;
    EXPECT_EQ(judge(hidden), PeerCode::fails);
}

}  // namespace
