#include "stop_signals_held.hpp"

#include <signal.h>

#include "sys/stop_signal.hpp"

StopSignalsHeld::StopSignalsHeld() {
    const sigset_t stops = StopSignal::signal_set();
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    StopSignal::install();
}

StopSignalsHeld::~StopSignalsHeld() { release(); }

void StopSignalsHeld::release() {
    // Unblocked outright rather than put back as found: a helper started with them blocked
    // would otherwise never stop on a signal.
    if (!held_) return;
    const sigset_t stops = StopSignal::signal_set();
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    held_ = false;
}
