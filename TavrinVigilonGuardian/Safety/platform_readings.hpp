#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

// The two readings of the machine the policy decides on. The roots are parameters so that the
// readers can be pointed at prepared trees.

// The boot identity: positive, constant within one boot and new at every boot.
// Throws GuardianError "Cannot read boot identity.".
std::int64_t bootTime(const std::filesystem::path& procRoot = "/proc");

// The internal battery level in whole percent (not clamped), or no value without one.
std::optional<std::int64_t> batteryPercent(const std::filesystem::path& powerSupplyRoot = "/sys/class/power_supply");
