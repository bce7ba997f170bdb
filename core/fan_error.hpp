#pragma once

#include <expected>
#include <string>
#include <utility>

// The fan helper's single error type. The message is user-facing: it is printed after
// "Tavrin: " or sent as a reply's "error", so it is always a fixed, byte-exact text.
struct FanError {
    std::string message;

    explicit FanError(std::string text) : message(std::move(text)) {}
    bool operator==(const FanError&) const = default;
};

template <typename T>
using FanResult = std::expected<T, FanError>;

inline std::unexpected<FanError> fan_error(std::string text) { return std::unexpected(FanError(std::move(text))); }
