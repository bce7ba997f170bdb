#pragma once

// Keys and values of a power-source description. The SDK defines them as C strings, to be
// wrapped with CFSTR() before use.

#define kIOPSTypeKey "Type"
#define kIOPSInternalBatteryType "InternalBattery"
#define kIOPSCurrentCapacityKey "Current Capacity"
#define kIOPSMaxCapacityKey "Max Capacity"
