#pragma once

// Seconds of a monotonic clock that keeps counting while the machine sleeps. Deadlines and
// heartbeat lapses are measured on it so that a sleep counts as time passed.
double continuous_seconds();

// Seconds since boot on a clock that stops while the machine sleeps (the system uptime).
double uptime_seconds();
