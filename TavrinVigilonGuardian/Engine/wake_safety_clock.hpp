#pragma once

// The guardian's own monotonic clock: seconds since boot, counting while the machine sleeps.
// Thermal timing and the pacing of status work use it; session deadlines use the uptime.
namespace WakeSafetyClock {
double now();
}
