#pragma once

#include "command_line.hpp"
#include "fan_error.hpp"

// Serves one control session (serve mode) or the fixed socket until a stop signal (daemon
// mode), and hands every fan back to automatic control before returning.
FanResult<void> run_serving(const ServingArgs& args);
