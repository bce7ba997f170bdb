#pragma once

#include <objc/objc.h>

// A 64-bit signed integer on 64-bit targets.
typedef long NSInteger;
