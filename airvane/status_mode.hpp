#pragma once

#include "fan_error.hpp"

// Prints one snapshot of the fans as JSON on standard output. Takes no lock and needs no
// privilege, so it may run beside a serving instance.
FanResult<void> run_status();
