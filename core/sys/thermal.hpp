#pragma once

#include <cstdint>

// The platform's thermal state level: 0 nominal, 1 fair, 2 serious, 3 critical.
std::int64_t thermal_state();
