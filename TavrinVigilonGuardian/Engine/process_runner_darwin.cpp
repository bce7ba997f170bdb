#include "Engine/process_runner_platform.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

namespace process_runner_detail {

// The platform has no pipe2. Between the pipe and the flags another thread's spawn could only
// pass the ends on if it inherited by default, and every spawn of the guardian names what the
// child inherits (below).
std::pair<UniqueFd, UniqueFd> makePipe(const std::string& name) {
    int ends[2];
    if (::pipe(ends) != 0) throwSystemError(errno, "Cannot create a pipe for " + name);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    if (::fcntl(readEnd.get(), F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(writeEnd.get(), F_SETFD, FD_CLOEXEC) != 0) {
        throwSystemError(errno, "Cannot create a pipe for " + name);
    }
    return {aboveStandardStreams(std::move(readEnd)), aboveStandardStreams(std::move(writeEnd))};
}

}  // namespace process_runner_detail

namespace {

using namespace process_runner_detail;

// One of the spawn's setting objects, made and destroyed by the platform's pair of calls; one
// whose making failed is never destroyed.
template <typename Setting, auto make, auto destroy>
class SpawnSetting {
public:
    SpawnSetting() : error_(make(&setting_)) {}
    ~SpawnSetting() {
        if (error_ == 0) destroy(&setting_);
    }
    SpawnSetting(const SpawnSetting&) = delete;
    SpawnSetting& operator=(const SpawnSetting&) = delete;

    int error() const { return error_; }
    Setting* get() { return &setting_; }

private:
    Setting setting_;
    int error_;
};

using FileActions =
    SpawnSetting<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>;
using Attributes = SpawnSetting<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// Standard input, then standard output and standard error on the one pipe, in that order: an
// input held as descriptor 1 or 2 is copied to 0 before those are replaced. The output is above 2.
int wireStandardStreams(FileActions& actions, const ChildLaunch& launch) {
    // A lock held as descriptor 0 already is where it belongs; it is only let through.
    int error = launch.input == STDIN_FILENO
                    ? ::posix_spawn_file_actions_addinherit_np(actions.get(), STDIN_FILENO)
                    : ::posix_spawn_file_actions_adddup2(actions.get(), launch.input, STDIN_FILENO);
    if (error == 0) error = ::posix_spawn_file_actions_adddup2(actions.get(), launch.output, STDOUT_FILENO);
    if (error == 0) error = ::posix_spawn_file_actions_adddup2(actions.get(), launch.output, STDERR_FILENO);
    return error;
}

// Nothing of the guardian's but the three streams, default handling for every signal whatever the
// guardian ignores, and nothing blocked whatever it holds back for its own run loop.
int isolate(Attributes& attributes) {
    // The signal-set calls are macros here, so they are never qualified with ::.
    sigset_t defaults;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    sigset_t none;
    sigemptyset(&none);
    int error = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    if (error == 0) error = ::posix_spawnattr_setsigmask(attributes.get(), &none);
    if (error == 0) {
        error = ::posix_spawnattr_setflags(
            attributes.get(),
            static_cast<short>(POSIX_SPAWN_CLOEXEC_DEFAULT | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
    }
    return error;
}

}  // namespace

namespace process_runner_detail {

// The child is not tied to the guardian's life here: the platform has no request to end a child
// with its parent. What takes its place for the daemon is launchd, which ends whatever is left of
// the job's process group when the job ends, and the tools stay in that group.
LaunchedChild launchChild(const ChildLaunch& launch, const std::string& program) {
    FileActions actions;
    Attributes attributes;
    int error = actions.error() != 0 ? actions.error() : attributes.error();
    if (error == 0) error = wireStandardStreams(actions, launch);
    if (error == 0) error = isolate(attributes);
    pid_t pid = -1;
    // The spawn reports a program that cannot be executed itself, so no report pipe is needed.
    if (error == 0) error = ::posix_spawn(&pid, launch.path, actions.get(), attributes.get(), launch.argv, launch.envp);
    if (error != 0) throwSystemError(error, "Cannot launch " + program);
    // No descriptor for the child's exit: the 20 ms poll alone paces the wait.
    return {pid, UniqueFd()};
}

}  // namespace process_runner_detail
