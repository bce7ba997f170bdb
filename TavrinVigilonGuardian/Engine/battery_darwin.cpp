#include "Engine/platform_readings.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/ps/IOPSKeys.h>
#include <IOKit/ps/IOPowerSources.h>

#include <cmath>
#include <limits>

#include "sys/cf_ref_darwin.hpp"

namespace {

bool isDictionary(CFTypeRef value) { return value != nullptr && CFGetTypeID(value) == CFDictionaryGetTypeID(); }

bool isInternalBattery(CFDictionaryRef description) {
    const CFTypeRef type = CFDictionaryGetValue(description, CFSTR(kIOPSTypeKey));
    return type != nullptr && CFGetTypeID(type) == CFStringGetTypeID() &&
           CFEqual(type, CFSTR(kIOPSInternalBatteryType));
}

std::optional<double> numberIn(CFDictionaryRef description, CFStringRef key) {
    const CFTypeRef value = CFDictionaryGetValue(description, key);
    double number = 0;
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &number) || !std::isfinite(number)) {
        return std::nullopt;
    }
    return number;
}

// The level of one source when it is the machine's own battery with readable capacities.
std::optional<std::int64_t> internalBatteryLevel(CFTypeRef description) {
    if (!isDictionary(description)) return std::nullopt;
    const auto dictionary = static_cast<CFDictionaryRef>(description);
    if (!isInternalBattery(dictionary)) return std::nullopt;

    const auto current = numberIn(dictionary, CFSTR(kIOPSCurrentCapacityKey));
    const auto maximum = numberIn(dictionary, CFSTR(kIOPSMaxCapacityKey));
    if (!current || !maximum || *maximum <= 0) return std::nullopt;

    // Multiplying first keeps whole percentages exact (29 / 100 * 100 comes out just under 29).
    // Not clamped: a level above 100 is for the policy to judge, not to hide here.
    const double percent = std::floor(*current * 100.0 / *maximum);
    const double bound = -static_cast<double>(std::numeric_limits<std::int64_t>::min());
    if (percent < -bound || percent >= bound) return std::nullopt;  // not a level any record holds
    return static_cast<std::int64_t>(percent);
}

}  // namespace

std::optional<std::int64_t> batteryPercent() {
    const CfRef<CFTypeRef> snapshot(IOPSCopyPowerSourcesInfo());
    if (!snapshot) return std::nullopt;
    const CfRef<CFArrayRef> sources(IOPSCopyPowerSourcesList(snapshot.get()));
    if (!sources) return std::nullopt;

    const CFIndex count = CFArrayGetCount(sources.get());
    for (CFIndex index = 0; index < count; ++index) {
        // A description belongs to the snapshot and goes with it.
        const CFDictionaryRef description =
            IOPSGetPowerSourceDescription(snapshot.get(), CFArrayGetValueAtIndex(sources.get(), index));
        if (auto level = internalBatteryLevel(description)) return level;
    }
    return std::nullopt;
}
