#pragma once

#include <exception>
#include <string>
#include <utility>

// An error of the service transport itself, handed to a remote proxy's error handler and passed
// on unchanged: the front end shows its description as the platform worded it.
struct XPCError : std::exception {
    std::string description;

    explicit XPCError(std::string text) : description(std::move(text)) {}
    const char* what() const noexcept override { return description.c_str(); }
};
