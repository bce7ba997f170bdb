#pragma once

#include <stdint.h>

#include <mach/kern_return.h>

#ifdef __cplusplus
extern "C" {
#endif

struct mach_timebase_info {
    uint32_t numer;
    uint32_t denom;
};
typedef struct mach_timebase_info* mach_timebase_info_t;
typedef struct mach_timebase_info mach_timebase_info_data_t;

kern_return_t mach_timebase_info(mach_timebase_info_t info);

// Ticks since an arbitrary point; the absolute clock stops while the system sleeps, the
// continuous one keeps counting.
uint64_t mach_absolute_time(void);
uint64_t mach_continuous_time(void);

#ifdef __cplusplus
}
#endif
