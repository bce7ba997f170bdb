#include "clock.hpp"

#include <time.h>

namespace {

double seconds_of(clockid_t clock) {
    timespec now{};
    // These clocks exist on every kernel the programs run on; the call cannot fail for them.
    (void)::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

// Boot time keeps counting through suspend; the monotonic clock stops with the machine.
double continuous_seconds() { return seconds_of(CLOCK_BOOTTIME); }

double uptime_seconds() { return seconds_of(CLOCK_MONOTONIC); }
