#include "daemon_platform.hpp"

#include <signal.h>
#include <sys/prctl.h>

void setThreadTimerLeeway(std::chrono::milliseconds leeway) {
    const auto slack = std::chrono::duration_cast<std::chrono::nanoseconds>(leeway).count();
    // Only a hint: a thread that keeps the default slack still fires on time.
    (void)::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0UL, 0UL, 0UL);
}

void runMainRunLoop() {
    // Nothing is dispatched to the main thread here: it only waits, and signals keep their
    // default actions, so launch control can still end the daemon.
    sigset_t none;
    ::sigemptyset(&none);
    for (;;) ::sigsuspend(&none);
}
