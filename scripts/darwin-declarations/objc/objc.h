#pragma once

// The Objective-C runtime's basic types. The compiler knows them in Objective-C; this header
// gives them to C and C++ files as well.

typedef struct objc_class* Class;
typedef struct objc_object* id;
typedef struct objc_selector* SEL;
