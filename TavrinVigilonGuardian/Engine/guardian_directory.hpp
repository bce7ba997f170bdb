#pragma once

// The guardian's data directory, which the installer creates: every record of the guardian is
// in it, and every fixed path into it is built from this one.
inline constexpr const char* guardianDirectory = "/Library/Application Support/TavrinVigilon";
