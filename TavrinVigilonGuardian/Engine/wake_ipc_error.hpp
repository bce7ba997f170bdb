#pragma once

#include "Engine/message_error.hpp"

// The error of the layer shared with the front end.
struct WakeIPCError : MessageError {
    using MessageError::MessageError;
};
