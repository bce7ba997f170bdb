#pragma once

#include <array>
#include <cstdint>
#include <optional>

// How hot the system may get before a session ends; stored in records as its raw value.
enum class WakeThermalLimit : std::int64_t {
    fair = 1,     // stop at fair, serious or critical
    serious = 2,  // stop at serious or critical
};

inline constexpr std::array<WakeThermalLimit, 2> wakeThermalLimitAllCases{WakeThermalLimit::fair,
                                                                          WakeThermalLimit::serious};

inline std::optional<WakeThermalLimit> wakeThermalLimit(std::int64_t rawValue) {
    for (const auto limit : wakeThermalLimitAllCases) {
        if (static_cast<std::int64_t>(limit) == rawValue) return limit;
    }
    return std::nullopt;
}

inline std::int64_t rawValue(WakeThermalLimit limit) { return static_cast<std::int64_t>(limit); }
