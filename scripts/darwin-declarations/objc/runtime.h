#pragma once

#include <objc/objc.h>

#ifdef __cplusplus
extern "C" {
#endif

// The class registered under `name`, or nil. (Its result is typed id in the SDK; the class
// lookup that returns Class is objc_lookUpClass.)
id objc_getClass(const char* name);

SEL sel_registerName(const char* str);

#ifdef __cplusplus
}
#endif
