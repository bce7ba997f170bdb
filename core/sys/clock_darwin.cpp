#include "clock.hpp"

#include <mach/mach_time.h>

#include <cstdint>
#include <cstdlib>

namespace {

// Mach clocks count in ticks whose length the timebase states; it is asked on every reading.
double seconds_of_ticks(std::uint64_t ticks) {
    mach_timebase_info_data_t timebase{};
    if (mach_timebase_info(&timebase) != KERN_SUCCESS || timebase.denom == 0) {
        // Without a timebase no deadline, lapse or cooldown can be measured; a clock stuck at
        // zero or at infinity would silently disarm them all.
        std::abort();
    }
    return static_cast<double>(ticks) * static_cast<double>(timebase.numer) / static_cast<double>(timebase.denom) / 1e9;
}

}  // namespace

double continuous_seconds() { return seconds_of_ticks(mach_continuous_time()); }

// The process-information service's systemUptime is this same Mach absolute clock, which stops
// while the machine sleeps; reading the clock directly keeps Foundation out of this file.
double uptime_seconds() { return seconds_of_ticks(mach_absolute_time()); }
