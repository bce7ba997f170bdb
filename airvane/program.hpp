#pragma once

#include <span>
#include <string_view>

#include "fan_error.hpp"

// The body of the program: dispatch, then the status mode or a serving mode to its end.
FanResult<void> run(std::span<const std::string_view> args);
