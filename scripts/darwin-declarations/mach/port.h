#pragma once

// A Mach port name: a 32-bit natural integer on every Apple target.
typedef unsigned int mach_port_t;

#define MACH_PORT_NULL 0
