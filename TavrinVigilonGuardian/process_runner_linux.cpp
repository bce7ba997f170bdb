#include "process_runner.hpp"

#include "sys/clock.hpp"
#include "guardian_context.hpp"
#include "guardian_error.hpp"
#include "text.hpp"
#include "sys/unique_fd.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

[[noreturn]] void throwSystemError(int code, const std::string& what) {
    throw std::system_error(code, std::generic_category(), what);
}

// Keeps a descriptor clear of 0-2, which the child's own standard streams are about to take.
UniqueFd aboveStandardStreams(UniqueFd fd) {
    if (!fd || fd.get() > 2) return fd;
    UniqueFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
    if (!moved) throwSystemError(errno, "Cannot prepare child descriptors");
    return moved;
}

std::string programName(const std::string& program) {
    const auto slash = program.find_last_of('/');
    return slash == std::string::npos ? program : program.substr(slash + 1);
}

// Appends what the pipe holds now without waiting; false once the pipe has reached its end. A
// descendant that still holds the write end open must not keep the guardian waiting, so a read
// never blocks.
bool readAvailable(int fd, std::string& bytes) {
    char buffer[4096];
    while (true) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            bytes.append(buffer, static_cast<std::size_t>(count));
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            return count < 0;  // 0 is the end; EAGAIN means "nothing more for now"
        }
    }
}

// Reaps the child if it has exited; true then, with its wait status in `status`.
bool reaped(pid_t pid, int& status) {
    while (true) {
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid) return true;
        if (result == 0) return false;
        if (errno != EINTR) throwSystemError(errno, "Cannot wait for a child process");
    }
}

void waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

class SpawnSetup {
public:
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
};

}  // namespace

std::string run(const std::string& program, const std::vector<std::string>& arguments, double timeout) {
    const std::string name = programName(program);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throwSystemError(errno, "Cannot create a pipe for " + name);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    readEnd = aboveStandardStreams(std::move(readEnd));
    writeEnd = aboveStandardStreams(std::move(writeEnd));

    UniqueFd nullInput;
    int input = -1;
    if (const auto lockFD = guardianContext().currentLockFD) {
        input = *lockFD;
    } else {
        nullInput = aboveStandardStreams(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
        if (!nullInput) throwSystemError(errno, "Cannot open /dev/null for " + name);
        input = nullInput.get();
    }

    SpawnSetup setup;
    ::posix_spawn_file_actions_adddup2(&setup.actions, input, STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDERR_FILENO);
    // Descriptors the guardian itself inherited without close-on-exec stay out of the child too.
    ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    // The child starts with default signal handling and nothing blocked, whatever the guardian
    // itself ignores or masks.
    sigset_t all;
    sigset_t none;
    ::sigfillset(&all);
    ::sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&setup.attributes, &all);
    ::posix_spawnattr_setsigmask(&setup.attributes, &none);
    ::posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> argumentStore{program};
    argumentStore.insert(argumentStore.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentStore) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::string environmentStore[] = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "LANG=C", "LC_ALL=C"};
    char* envp[] = {environmentStore[0].data(), environmentStore[1].data(), environmentStore[2].data(), nullptr};

    pid_t pid = 0;
    const int spawnError = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), envp);
    if (spawnError != 0) throwSystemError(spawnError, "Cannot launch " + program);
    writeEnd.reset();

    // The output is collected while the child runs, so a child with much to say never blocks on
    // a full pipe. Each wait lasts at most 20 ms but ends as soon as the child writes or exits
    // (its pidfd becomes readable), so a finished child is noticed at once rather than at the
    // next tick. Without a pidfd the 20 ms tick alone paces the loop.
    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
    const UniqueFd exitWatch(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    std::string output;
    bool pipeOpen = true;
    int status = 0;
    bool exited = false;
    const double start = uptime_seconds();
    while (!(exited = reaped(pid, status))) {
        if (uptime_seconds() >= start + timeout) break;
        pollfd waiting[2] = {{pipeOpen ? readEnd.get() : -1, POLLIN, 0}, {exitWatch.get(), POLLIN, 0}};
        if (::poll(waiting, 2, 20) > 0 && waiting[0].revents != 0) {
            pipeOpen = readAvailable(readEnd.get(), output);
        }
    }

    // A child that finished just as the time ran out has its result, not a time-out.
    if (!exited) exited = reaped(pid, status);
    if (!exited) {
        ::kill(pid, SIGTERM);
        std::this_thread::sleep_for(100ms);
        if (!reaped(pid, status)) {
            ::kill(pid, SIGKILL);
            waitForExit(pid);
        }
        throw GuardianError(name + " timed out.");
    }

    if (pipeOpen) readAvailable(readEnd.get(), output);
    if (!isValidUtf8(output)) output.clear();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return output;
    throw GuardianError(name + " failed: " + trimBlanksAndLineBreaks(output));
}
