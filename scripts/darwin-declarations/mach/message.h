#pragma once

// The opaque identity of a task as the kernel's audit subsystem names it: eight 32-bit words.
typedef struct {
    unsigned int val[8];
} audit_token_t;
