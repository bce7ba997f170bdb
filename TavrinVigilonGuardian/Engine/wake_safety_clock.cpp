#include "Engine/wake_safety_clock.hpp"

#include "sys/clock.hpp"

double WakeSafetyClock::now() { return continuous_seconds(); }
