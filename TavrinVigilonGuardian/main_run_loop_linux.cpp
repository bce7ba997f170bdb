#include "main_run_loop.hpp"

#include <signal.h>

void runMainRunLoop() {
    // Nothing is dispatched to the main thread here: it only waits, and signals keep their
    // default actions, so launch control can still end the daemon.
    sigset_t none;
    ::sigemptyset(&none);
    for (;;) ::sigsuspend(&none);
}
