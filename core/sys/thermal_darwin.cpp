#include "thermal.hpp"

#include <objc/NSObjCRuntime.h>
#include <objc/message.h>
#include <objc/runtime.h>

// The process-information service is an Objective-C class; this file is plain C++, so it sends
// its messages through the runtime's C entry points.

namespace {

// objc_msgSend has no type of its own and must be called through a pointer of each method's
// exact type.
template <typename Result>
Result send(id receiver, const char* selector) {
    return reinterpret_cast<Result (*)(id, SEL)>(&objc_msgSend)(receiver, sel_registerName(selector));
}

id class_named(const char* name) { return reinterpret_cast<id>(objc_getClass(name)); }

// What Foundation hands back autoreleased would pile up for good: the fan helper has no run loop
// whose passes drain a pool, so each reading brings its own.
class AutoreleasePool {
public:
    AutoreleasePool() {
        if (const id pool_class = class_named("NSAutoreleasePool"); pool_class != nil) {
            pool_ = send<id>(send<id>(pool_class, "alloc"), "init");
        }
    }
    ~AutoreleasePool() {
        if (pool_ != nil) send<void>(pool_, "drain");
    }
    AutoreleasePool(const AutoreleasePool&) = delete;
    AutoreleasePool& operator=(const AutoreleasePool&) = delete;

private:
    id pool_ = nil;
};

// A state that cannot be read is reported as serious: manual control is then refused and given
// up, never granted or kept on a reading that does not exist.
constexpr std::int64_t kUnreadableState = 2;

}  // namespace

std::int64_t thermal_state() {
    const AutoreleasePool pool;
    const id process_info_class = class_named("NSProcessInfo");
    if (process_info_class == nil) return kUnreadableState;
    const id process_info = send<id>(process_info_class, "processInfo");
    if (process_info == nil) return kUnreadableState;
    return static_cast<std::int64_t>(send<NSInteger>(process_info, "thermalState"));
}
