#pragma once

// The process runner's halves: the shared run (process_runner.cpp: the wait with its time-out and
// kill sequence, the output and its checks) and each platform's start of the child
// (process_runner_linux.cpp, process_runner_darwin.cpp). Included by those files only.

#include "sys/unique_fd.hpp"

#include <string>
#include <sys/types.h>
#include <utility>

namespace process_runner_detail {

// Shared helpers.

[[noreturn]] void throwSystemError(int code, const std::string& what);

// Keeps a descriptor clear of 0-2, which the child's own standard streams are about to take.
UniqueFd aboveStandardStreams(UniqueFd fd);

// Waits until the child has exited and reaps it.
void waitForExit(pid_t pid);

// The last path component: how messages name the program.
std::string programName(const std::string& program);

// What each platform provides.

// A pipe whose ends are close-on-exec and clear of 0-2. Throws std::system_error
// "Cannot create a pipe for <name>".
std::pair<UniqueFd, UniqueFd> makePipe(const std::string& name);

// What the child gets, all prepared by the caller.
struct ChildLaunch {
    const char* path;
    char* const* argv;
    char* const* envp;
    int input;   // becomes standard input (the caller keeps its own descriptor)
    int output;  // becomes standard output and standard error; above 2
};

struct LaunchedChild {
    pid_t pid;
    // Readable once the child has exited, so that the wait can end at once; none where the
    // platform has no such descriptor.
    UniqueFd exitWatch;
};

// Starts the program with exactly the descriptors `launch` names as 0-2 and nothing else of the
// guardian's, with default handling for every signal and none blocked. Returns once the child
// runs the program; throws std::system_error "Cannot launch <program>" with the platform's reason
// when it cannot.
LaunchedChild launchChild(const ChildLaunch& launch, const std::string& program);

}  // namespace process_runner_detail
