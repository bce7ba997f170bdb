#pragma once

#include <cstdint>
#include <optional>

// The two readings of the machine the policy decides on.

// The boot identity: positive, constant within one boot and new at every boot.
// Throws GuardianError "Cannot read boot identity.".
std::int64_t bootTime();

// The internal battery level in whole percent (not clamped), or no value without one.
std::optional<std::int64_t> batteryPercent();
