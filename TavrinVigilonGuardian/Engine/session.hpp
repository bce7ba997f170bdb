#pragma once

#include "Engine/wake_thermal_limit.hpp"

#include <cstdint>
#include <string>

// The operations that move a session through its life. Every caller holds the guardian lock.

// Starts a session of `minutes` (an allowed duration) that ends early at `thermalLimit`.
void start(std::int64_t minutes, WakeThermalLimit thermalLimit);

// Ends a session and restores normal sleep, recording `reason`. Without the ownership marker a
// non-explicit restore changes nothing; an explicit one claims the setting first. A failure
// leaves the marker and a retry record, then goes on.
void restore(const std::string& reason, bool isExplicit);

// A restore that follows a thermal trip (or a pending thermal stop) with a system sleep request.
void safetyStop(const std::string& reason);

// Mirrors the in-memory thermal latch into the record while no session is on; a record that
// cannot be read is replaced by one that carries the latch.
void persistCoolingLatch();
