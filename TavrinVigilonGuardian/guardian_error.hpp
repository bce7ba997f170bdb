#pragma once

#include <exception>
#include <string>
#include <utility>

// The guardian program's error: one user-facing message, shown as is.
struct GuardianError : std::exception {
    std::string message;

    explicit GuardianError(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }
};
