#pragma once

// The host C library has no <sys/sysctl.h>; this is the one call of Darwin's the Mac files use.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen);

#ifdef __cplusplus
}
#endif
