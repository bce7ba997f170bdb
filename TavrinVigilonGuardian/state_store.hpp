#pragma once

#include "Safety/wake_guardian_state.hpp"

#include <optional>
#include <string>

// The whole content of a file the guardian relies on, after the path trust check. Throws
// GuardianError "Unsafe ownership or permissions: <path>" or "Cannot read <path>.".
std::string readTrustedFile(const std::string& path);

// The session record: no value when no file exists; otherwise trusted, read and decoded, each
// step throwing GuardianError ("Unsafe ownership or permissions: <path>", "Cannot read <path>.",
// "Cannot decode <path>.").
std::optional<WakeGuardianState> readState();

// Whether the ownership marker exists (as anything, a link included: the guardian may then
// still hold SleepDisabled).
bool markerExists();
