#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

// The Linux readings behind bootTime() and batteryPercent(), from a tree that tests can prepare
// instead of /proc and /sys/class/power_supply.
std::int64_t bootTimeFrom(const std::filesystem::path& procRoot);
std::optional<std::int64_t> batteryPercentFrom(const std::filesystem::path& powerSupplyRoot);
