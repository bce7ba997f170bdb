#pragma once

#include "Engine/guardian_error.hpp"
#include "Engine/wake_thermal_limit.hpp"

#include <cstdint>
#include <string>

// The operations that move a session through its life. Every caller holds the guardian lock.

// A restore that brought normal sleep back, verified, but could not record the session's end
// (the record, or the marker's removal); it carries that failure's own message. Nothing is held
// any more; a marker that had to stay has the watcher record the end later.
struct RestoreNotRecorded : GuardianError {
    using GuardianError::GuardianError;
};

// Starts a session of `minutes` (an allowed duration) that ends early at `thermalLimit`.
void start(std::int64_t minutes, WakeThermalLimit thermalLimit);

// Ends a session and restores normal sleep, recording `reason`. Without the ownership marker a
// non-explicit restore changes nothing; an explicit one claims the setting first, as far as the
// data directory allows. A failure to turn SleepDisabled off leaves the marker and a retry record,
// then goes on; one to record the end afterwards is RestoreNotRecorded.
void restore(const std::string& reason, bool isExplicit);

// A restore that follows a thermal trip (or a pending thermal stop) with a system sleep request,
// which goes out also when the restore is RestoreNotRecorded.
void safetyStop(const std::string& reason);

// Mirrors the in-memory thermal latch into the record while no session is on; a record that
// cannot be read is replaced by one that carries the latch.
void persistCoolingLatch();
