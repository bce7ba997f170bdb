#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

// A snapshot of every power source; the caller releases it.
CFTypeRef IOPSCopyPowerSourcesInfo(void);

// The sources in a snapshot; the caller releases the array.
CFArrayRef IOPSCopyPowerSourcesList(CFTypeRef blob);

// One source's description; it belongs to the snapshot and is not released on its own.
CFDictionaryRef IOPSGetPowerSourceDescription(CFTypeRef blob, CFTypeRef ps);

#ifdef __cplusplus
}
#endif
