#pragma once

#include <cstdint>
#include <filesystem>

// The thermal level derived from the thermal zones below `root` (normally /sys/class/thermal):
// the worst crossed trip over all zones.
std::int64_t thermal_state_at(const std::filesystem::path& root);
