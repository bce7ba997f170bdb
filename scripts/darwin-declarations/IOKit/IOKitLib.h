#pragma once

// The IOKit user-client interfaces the Mac files use. The handle and return types live in
// IOKit/IOTypes.h and IOKit/IOReturn.h in the SDK, both of which IOKitLib.h includes.

#include <stddef.h>
#include <stdint.h>

#include <CoreFoundation/CoreFoundation.h>
#include <mach/mach.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef kern_return_t IOReturn;

typedef mach_port_t io_object_t;
typedef io_object_t io_service_t;
typedef io_object_t io_connect_t;

CFMutableDictionaryRef IOServiceMatching(const char* name);

// Consumes one reference to `matching`, whatever the outcome.
io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching);

kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type, io_connect_t* connect);
kern_return_t IOServiceClose(io_connect_t connect);
kern_return_t IOObjectRelease(io_object_t object);

kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector, const void* inputStruct,
                                        size_t inputStructCnt, void* outputStruct, size_t* outputStructCnt);

#ifdef __cplusplus
}
#endif
