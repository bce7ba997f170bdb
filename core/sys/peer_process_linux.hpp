#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "sys/peer_identity.hpp"

// How the code of the process at the other end of a connection is judged on Linux, where the
// connection yields a pidfd (standing in for the peer's audit token) and the code is the hash of
// the process's executable. Each reading is a seam, so that the order of the checks can be
// exercised against a process that dies, or is replaced, at any step.

struct PeerExecutable {
    std::optional<std::string> hash;  // none when unreadable, too large or too slow to hash
    bool denied = false;              // this process may not look at that executable at all
};

struct PeerProcessProbe {
    // The pid the pidfd stands for now; none once that process has been reaped.
    std::function<std::optional<pid_t>(int pidfd)> pid_of;
    // Whether the process behind the pidfd still runs.
    std::function<bool(int pidfd)> alive;
    // The code hash of the executable that the process with this pid runs.
    std::function<PeerExecutable(pid_t pid)> executable;

    static PeerProcessProbe production();
};

// Whether the process behind `pidfd` runs the code with `required_hash` (lower-case).
PeerCode judge_peer_process(int pidfd, const std::string& required_hash, const PeerProcessProbe& probe);
