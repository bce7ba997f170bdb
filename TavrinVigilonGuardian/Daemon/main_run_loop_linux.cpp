#include "Daemon/main_run_loop.hpp"

#include <cerrno>
#include <csignal>

namespace {

sigset_t stopSignals() {
    sigset_t signals;
    ::sigemptyset(&signals);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaddset(&signals, signal);
    return signals;
}

}  // namespace

void holdStopRequests() {
    // Blocked, not handled: a signal stays pending until the run loop asks for it, so one that
    // arrives during the launch recovery is not lost and does not interrupt it.
    const sigset_t stops = stopSignals();
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

void runMainRunLoop(const std::function<void()>& stop) {
    // Taken synchronously, so the stop runs as ordinary code on this thread. Nothing waits for
    // the signals after the first: they stay blocked and pending and cannot cut the stop short.
    const sigset_t stops = stopSignals();
    for (;;) {
        if (::sigwaitinfo(&stops, nullptr) >= 0) break;
        if (errno != EINTR) return;
    }
    stop();
}
