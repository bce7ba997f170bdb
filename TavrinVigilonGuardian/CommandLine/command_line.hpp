#pragma once

#include <sys/types.h>

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* guardianUsage =
    "Usage: guardian stop | restore | watch. Start sessions from the signed Tavrin app.";

// One of the four accepted command lines.
struct GuardianCommand {
    enum class Verb { watch, stop, restore, registerHelper };
    Verb verb = Verb::watch;
    std::uint32_t ownerUID = 0;  // register only
    std::string clientHash;      // register only

    bool operator==(const GuardianCommand&) const = default;
};

// Base-10 digits with an optional leading "+", nothing else, at most 4294967295.
std::optional<std::uint32_t> parseUnsigned32(std::string_view text);

// The command the words after the program name form, or none when they form none.
std::optional<GuardianCommand> parseCommandLine(const std::vector<std::string>& words);

// Runs one command line in a process whose guardian context is set: the usage check, the root
// check for `effectiveUID`, the file-creation mask, the data directory's trust, the command.
// Writes the success line to `out` or the failure's description to `err`, each with a line
// feed, and returns the exit status (0 or 1). `watch` comes back only by failing.
int runCommandLine(const std::vector<std::string>& words, uid_t effectiveUID, std::ostream& out, std::ostream& err);

// The program entry: sets the process's guardian context, then runs its command line.
int guardianMain(int argc, char** argv);
