#include "thermal.hpp"

#include <objc/NSObjCRuntime.h>
#include <objc/message.h>
#include <objc/runtime.h>

// The process-information service is an Objective-C class; this file is plain C++, so it sends
// the two messages through the runtime's C entry points. objc_msgSend has no type of its own
// and must be called through a pointer of each method's exact type.
std::int64_t thermal_state() {
    const auto send_for_object = reinterpret_cast<id (*)(id, SEL)>(&objc_msgSend);
    const auto send_for_integer = reinterpret_cast<NSInteger (*)(id, SEL)>(&objc_msgSend);

    const id process_info_class = objc_getClass("NSProcessInfo");
    const id process_info = send_for_object(process_info_class, sel_registerName("processInfo"));
    return static_cast<std::int64_t>(send_for_integer(process_info, sel_registerName("thermalState")));
}
