#pragma once

// Scalar types of the Apple SDK (MacTypes.h), in their 64-bit Apple-silicon widths.

typedef unsigned char UInt8;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef unsigned char Boolean;
typedef SInt32 OSStatus;
