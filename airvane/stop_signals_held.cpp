#include "stop_signals_held.hpp"

#include "sys/stop_signal.hpp"

namespace {

sigset_t stop_signals() {
    sigset_t stops;
    sigemptyset(&stops);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, sig);
    return stops;
}

}  // namespace

StopSignalsHeld::StopSignalsHeld() {
    const sigset_t stops = stop_signals();
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    StopSignal::install();
}

StopSignalsHeld::~StopSignalsHeld() { release(); }

void StopSignalsHeld::release() {
    // Unblocked outright rather than put back as found: a helper started with them blocked
    // would otherwise never stop on a signal.
    if (!held_) return;
    const sigset_t stops = stop_signals();
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    held_ = false;
}
