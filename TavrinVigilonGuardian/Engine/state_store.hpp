#pragma once

#include "Engine/wake_guardian_state.hpp"

#include <cstddef>
#include <optional>
#include <string>

// No record the guardian writes comes near this; anything longer is refused before it is read.
inline constexpr std::size_t recordSizeLimit = 64 * 1024;

// The whole content of a record the guardian relies on, judged by the descriptor it was read
// through. Throws GuardianError "Unsafe ownership or permissions: <path>" (missing, a link, not
// a root-owned regular file closed to group and others), "Cannot read <path>: larger than any
// record." or "Cannot read <path>.".
std::string readTrustedFile(const std::string& path);

// The session record: no value when no file exists; otherwise trusted, read and decoded, each
// step throwing GuardianError ("Unsafe ownership or permissions: <path>", "Cannot read <path>.",
// "Cannot decode <path>.").
std::optional<WakeGuardianState> readState();

// Whether anything is at the path, a link or a file of any kind included: for the guardian's own
// records, something there that cannot be read still counts, so that it errs towards restoring.
bool pathExists(const std::string& path);

// Whether the file system that holds `path` is mounted read-only: nothing can be written there,
// however privileged the writer.
bool onReadOnlyFileSystem(const std::string& path);

// Whether the ownership marker exists (as anything, a link included: the guardian may then
// still hold SleepDisabled).
bool markerExists();
