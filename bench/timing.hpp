#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

// Repeated timings of one operation, in milliseconds, sorted so that quantiles can be read off.
template <typename Body>
std::vector<double> timed_ms(int count, Body body) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        body();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

// The value at quantile `q` (0.5 the median) of sorted samples.
inline double quantile(const std::vector<double>& sorted, double q) {
    return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1))];
}
