#pragma once

#include <objc/objc.h>

#ifdef __cplusplus
extern "C" {
#endif

// Declared without parameters on purpose: every call must go through a cast to the exact
// function-pointer type of the method it sends.
void objc_msgSend(void);

#ifdef __cplusplus
}
#endif
