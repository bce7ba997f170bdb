#include "Daemon/main_run_loop.hpp"

#include <cerrno>
#include <csignal>
#include <pthread.h>

#include "sys/stop_signal.hpp"

void holdStopRequests() {
    // Blocked, not handled: a signal stays pending until the run loop asks for it, so one that
    // arrives during the launch recovery is not lost and does not interrupt it.
    const sigset_t stops = StopSignal::signal_set();
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

void releaseStopRequests() {
    const sigset_t stops = StopSignal::signal_set();
    ::pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}

bool takeStopRequest() {
    const sigset_t stops = StopSignal::signal_set();
    for (;;) {
        int taken = 0;
        const int error = ::sigwait(&stops, &taken);
        if (error == 0) return true;
        if (error != EINTR) return false;
    }
}
