#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One fan as read now. Every optional member is absent when its key could not be read.
struct Fan {
    std::int64_t id = 0;
    double actual = 0;
    std::optional<double> minimum;
    std::optional<double> maximum;
    std::optional<double> target;
    // The mode key's value truncated toward zero; 1 is manual (forced) control.
    std::optional<std::int64_t> mode;

    bool operator==(const Fan&) const = default;
};

// The state every reply and the status output carry.
struct Snapshot {
    std::optional<double> temperature;
    std::vector<Fan> fans;
    std::vector<std::int64_t> controlled;
    std::optional<std::string> notice;
    std::int64_t thermal = 0;

    bool operator==(const Snapshot&) const = default;
};
