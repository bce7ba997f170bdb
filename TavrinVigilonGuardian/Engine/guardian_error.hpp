#pragma once

#include "Engine/message_error.hpp"

#include <exception>
#include <string>

// The guardian program's own error.
struct GuardianError : MessageError {
    using MessageError::MessageError;
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
