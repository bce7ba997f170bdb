#pragma once

#include <functional>
#include <string_view>

#include "sys/peer_identity.hpp"

// Judging a peer's code reads its executable (the code hash here, the code signature on a Mac),
// which a peer can place where reading never ends: a network share or a file system served by a
// program that stops answering. A judgement therefore never runs on a thread that has anything
// else to keep: it runs on a thread of its own, and its asker waits for it only up to a deadline.

// How long a judgement may take before its peer is refused: well past the code hash's own
// budget, and short beside the fan helper's one-second safety check.
inline constexpr double kPeerJudgementSeconds = 1.0;

// Judgements under way at once, those abandoned stuck at their deadline included; past this many,
// a new one is refused at once rather than given another thread.
inline constexpr int kMaxJudgementsUnderWay = 16;

// Runs `judge` on a thread of its own and waits at most `seconds` for its verdict. A judgement
// not done by then is abandoned and counts as `fails`: it ends, or stays stuck, on its own thread,
// which owns everything it uses, and takes no part in anything after. `fails` as well when no
// thread can be had or too many judgements are under way.
PeerCode judge_within(std::function<PeerCode()> judge, double seconds = kPeerJudgementSeconds);

// peer_code for the peer at the other end of `connection`, bounded so. The judging thread works
// on a duplicate of the descriptor, so the caller may close the connection whenever it likes; a
// caller that refuses the peer shuts the connection down, so that the peer learns of it while an
// abandoned judgement still holds the duplicate.
PeerCode peer_code_within(int connection, std::string_view requirement, double seconds = kPeerJudgementSeconds);

// No unit test can make a peer's executable stall on a file system, so the check that
// peer_code_within bounds is replaceable the way the storage flush is: a test puts in a judge that
// stalls (or one that counts) and gets back the one it replaced, to put back in turn.
using PeerCodeJudge = std::function<PeerCode(int connection, std::string_view requirement)>;
PeerCodeJudge replace_peer_code_check(PeerCodeJudge judge);

// Judgements started and not yet ended, the stuck ones included.
int judgements_under_way();
