#pragma once

#include <mach/kern_return.h>
#include <mach/port.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef mach_port_t task_t;
typedef mach_port_t task_port_t;

// The SDK reads the calling task's own port from a variable cached at start-up; the function
// form is a macro over it.
extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_

#ifdef __cplusplus
}
#endif
