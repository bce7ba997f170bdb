#pragma once

#include <cstdint>
#include <optional>

// One pass of the watcher, once a second and on every thermal-state change (`thermalEvent`
// carries the new state; none for a timer tick): enforces the session's limits, retries a
// failed restore, notices SleepDisabled turned off behind the guardian's back, and proves the
// watcher alive through the heartbeat. Never throws: a failed tick is reported on standard
// error as "Vigilon guardian: <message>", a tick saved by its fallback stop as
// "Vigilon safety: <message>".
void watchTick(std::optional<std::int64_t> thermalEvent);
