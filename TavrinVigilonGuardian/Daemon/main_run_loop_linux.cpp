#include "Daemon/main_run_loop.hpp"

// Nothing else needs the main thread here: the endpoint and the tick have threads of their own,
// so it waits for the stop request itself and runs the stop right where it woke.
void runMainRunLoop(const std::function<void()>& stop) {
    if (takeStopRequest()) stop();
}
