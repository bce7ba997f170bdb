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

// What a failure says to the user: its message for the guardian's own errors and the IPC layer's
// (each carries it as what()), a platform error's own description, and a fixed text for anything
// that is not an exception at all.
inline std::string failureDescription(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Unexpected failure.";
    }
}
