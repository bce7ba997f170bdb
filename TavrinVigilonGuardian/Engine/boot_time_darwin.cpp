#include "Engine/guardian_error.hpp"
#include "Engine/platform_readings.hpp"

#include <sys/sysctl.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>

// The kernel's boot time in whole seconds since 1970. The microseconds are left out so that
// every reading within one boot compares equal.
std::int64_t bootTime() {
    static_assert(sizeof(timeval) == 16, "kern.boottime is read as seconds and microseconds, 16 bytes");
    timeval boot{};
    std::size_t size = sizeof boot;
    if (::sysctlbyname("kern.boottime", &boot, &size, nullptr, 0) != 0 || boot.tv_sec <= 0) {
        throw GuardianError("Cannot read boot identity.");
    }
    return static_cast<std::int64_t>(boot.tv_sec);
}
