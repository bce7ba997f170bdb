#pragma once

#include <exception>
#include <string>
#include <utility>

// The error of the layer shared with the front end: one user-facing message, shown as is.
struct WakeIPCError : std::exception {
    std::string message;

    explicit WakeIPCError(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }
};
