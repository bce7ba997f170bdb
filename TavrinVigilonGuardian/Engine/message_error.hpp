#pragma once

#include <exception>
#include <string>
#include <utility>

// What the guardian's errors carry: one user-facing message, shown as is (its description is
// exactly the message). The program's own errors and those of the layer it shares with the front
// end are told apart by type only.
struct MessageError : std::exception {
    std::string message;

    explicit MessageError(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }
};
