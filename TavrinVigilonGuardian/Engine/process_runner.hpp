#pragma once

#include <string>
#include <vector>

// Runs `program` (an absolute path, not through a shell) with `arguments` and exactly the
// variables PATH, LANG and LC_ALL. Standard output and standard error share one pipe; standard
// input is the held guardian lock, so a child keeps that lock held while it runs, or else the
// null device; nothing else of the guardian's is inherited. The child starts with default signal
// handling and nothing blocked. On Linux it is killed if the guardian dies while it runs, so it
// never keeps the lock past its guardian. On the Mac nothing ties it to the guardian: the
// daemon's tools stay in its job's process group, which launchd ends when the job ends, and a
// tool of a command-line guardian that died runs on until it ends by itself.
// Returns the output as UTF-8 text (empty when it is not UTF-8).
// Throws std::system_error when the program cannot be launched, and GuardianError
// "<name> timed out." (after SIGTERM and, 100 ms later, SIGKILL) or "<name> failed: <output>".
std::string run(const std::string& program, const std::vector<std::string>& arguments, double timeout);
