#pragma once

#include <concepts>
#include <string_view>

#include "fan_error.hpp"
#include "smc/smc_value.hpp"

// The two operations between the fan controller and the SMC. The controller is generic over
// this so that the whole engine runs against an in-memory key table in tests. Both operations
// take the hardware as mutable: a real implementation fills its key-info cache.
template <typename H>
concept FanHardware = requires(H& hardware, std::string_view key, double value) {
    { hardware.read(key) } -> std::same_as<FanResult<SmcValue>>;
    { hardware.write(key, value) } -> std::same_as<FanResult<void>>;
};
