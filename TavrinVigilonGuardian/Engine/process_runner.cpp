#include "Engine/process_runner.hpp"

#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/process_runner_platform.hpp"
#include "Engine/text.hpp"
#include "sys/clock.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace process_runner_detail {

void throwSystemError(int code, const std::string& what) {
    throw std::system_error(code, std::generic_category(), what);
}

UniqueFd aboveStandardStreams(UniqueFd fd) {
    if (!fd || fd.get() > 2) return fd;
    UniqueFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
    if (!moved) throwSystemError(errno, "Cannot prepare child descriptors");
    return moved;
}

void waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::string programName(const std::string& program) {
    const auto slash = program.find_last_of('/');
    return slash == std::string::npos ? program : program.substr(slash + 1);
}

}  // namespace process_runner_detail

namespace {

using namespace std::chrono_literals;
using namespace process_runner_detail;

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

}  // namespace

std::string run(const std::string& program, const std::vector<std::string>& arguments, double timeout) {
    const std::string name = programName(program);

    auto [readEnd, writeEnd] = makePipe(name);

    UniqueFd nullInput;
    int input = -1;
    if (const auto lockFD = guardianContext().currentLockFD) {
        input = *lockFD;
    } else {
        nullInput = aboveStandardStreams(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
        if (!nullInput) throwSystemError(errno, "Cannot open /dev/null for " + name);
        input = nullInput.get();
    }

    std::vector<std::string> argumentStore{program};
    argumentStore.insert(argumentStore.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentStore) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::string environmentStore[] = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "LANG=C", "LC_ALL=C"};
    char* envp[] = {environmentStore[0].data(), environmentStore[1].data(), environmentStore[2].data(), nullptr};

    const LaunchedChild child = launchChild(
        ChildLaunch{
            .path = program.c_str(), .argv = argv.data(), .envp = envp, .input = input, .output = writeEnd.get()},
        program);
    const pid_t pid = child.pid;
    writeEnd.reset();

    // The output is collected while the child runs, so a child with much to say never blocks on
    // a full pipe. Each wait lasts at most 20 ms but ends as soon as the child writes or exits
    // (where the platform gives a descriptor for its exit), so a finished child is noticed at once
    // rather than at the next tick. Without one the 20 ms tick alone paces the loop.
    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
    std::string output;
    bool pipeOpen = true;
    int status = 0;
    bool exited = false;
    const double start = uptime_seconds();
    while (!(exited = reaped(pid, status))) {
        if (uptime_seconds() >= start + timeout) break;
        pollfd waiting[2] = {{pipeOpen ? readEnd.get() : -1, POLLIN, 0}, {child.exitWatch.get(), POLLIN, 0}};
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
