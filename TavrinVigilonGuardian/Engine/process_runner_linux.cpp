#include "Engine/process_runner.hpp"

#include "sys/clock.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/text.hpp"
#include "sys/unique_fd.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

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

// A pipe whose ends are close-on-exec and clear of 0-2.
std::pair<UniqueFd, UniqueFd> makePipe(const std::string& name) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throwSystemError(errno, "Cannot create a pipe for " + name);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    return {aboveStandardStreams(std::move(readEnd)), aboveStandardStreams(std::move(writeEnd))};
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

// Everything the child needs, prepared before the fork: between fork and exec the child may make
// only async-signal-safe calls, so nothing there allocates or takes a lock.
struct ChildPlan {
    const char* path;
    char* const* argv;
    char* const* envp;
    int input;   // becomes standard input
    int output;  // becomes standard output and standard error
    int report;  // close-on-exec: the child writes its errno here when it cannot become the program
    pid_t parent;
};

[[noreturn]] void abandonLaunch(int report) noexcept {
    const int code = errno;
    (void)!::write(report, &code, sizeof code);
    ::_exit(127);
}

// `fd` as descriptor `target`, surviving the exec. A descriptor already in place only loses its
// close-on-exec flag, which dup2 would have left set.
bool placeAt(int fd, int target) noexcept {
    if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
    return ::dup2(fd, target) == target;
}

// Closes every descriptor above 2 except `keep` (itself above 2).
void closeInherited(int keep) noexcept {
    const auto kept = static_cast<unsigned>(keep);
    if ((kept == 3 || ::close_range(3, kept - 1, 0) == 0) && ::close_range(kept + 1, ~0U, 0) == 0) return;
    // Kernels without close_range: every possible descriptor, one by one.
    rlimit limit{};
    const rlim_t last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                            ? limit.rlim_cur
                            : 65536;
    for (rlim_t fd = 3; fd < last; ++fd) {
        if (static_cast<int>(fd) != keep) ::close(static_cast<int>(fd));
    }
}

// The child's side of the launch. It starts with every signal blocked (the parent forked so).
[[noreturn]] void becomeProgram(const ChildPlan& plan) noexcept {
    // A tool must not outlive the guardian that started it: one left hanging would keep holding
    // the guardian lock (its standard input), and a relaunched daemon could not recover until it
    // ended. The kernel sends this when the thread that forked ends, not the process; the threads
    // that run tools (the main thread and the power queue's worker) live as long as the process,
    // so it comes only when the guardian itself is gone.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) abandonLaunch(plan.report);
    // The guardian may have died before the request above took effect.
    if (::getppid() != plan.parent) ::_exit(127);

    if (!placeAt(plan.input, STDIN_FILENO) || !placeAt(plan.output, STDOUT_FILENO) ||
        !placeAt(plan.output, STDERR_FILENO)) {
        abandonLaunch(plan.report);
    }
    // Descriptors the guardian itself inherited without close-on-exec stay out of the child too.
    closeInherited(plan.report);

    // Default handling for every signal, whatever the guardian ignores, then nothing blocked,
    // whatever the guardian holds back for its own run loop.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    ::sigemptyset(&standard.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) ::sigaction(signal, &standard, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    ::execve(plan.path, plan.argv, plan.envp);
    abandonLaunch(plan.report);
}

// Starts the child as `plan` says; returns its pid once it runs the program, or throws the
// reason it could not. `reportWrite` is the write end of the report pipe that `plan` names.
pid_t launch(const ChildPlan& plan, UniqueFd& reportWrite, int reportRead, const std::string& program) {
    // Blocked across the fork so that no handler of the guardian ever runs in the child.
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) becomeProgram(plan);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) throwSystemError(forkError, "Cannot launch " + program);

    // The report pipe reaches its end at the exec; an errno before that means the launch failed.
    reportWrite.reset();
    int code = 0;
    std::size_t received = 0;
    while (received < sizeof code) {
        const ssize_t count =
            ::read(reportRead, reinterpret_cast<char*>(&code) + received, sizeof code - received);
        if (count > 0) {
            received += static_cast<std::size_t>(count);
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    if (received == 0) return pid;
    waitForExit(pid);
    throwSystemError(received == sizeof code ? code : EIO, "Cannot launch " + program);
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

    auto [reportRead, reportWrite] = makePipe(name);
    const ChildPlan plan{.path = program.c_str(),
                         .argv = argv.data(),
                         .envp = envp,
                         .input = input,
                         .output = writeEnd.get(),
                         .report = reportWrite.get(),
                         .parent = ::getpid()};
    const pid_t pid = launch(plan, reportWrite, reportRead.get(), program);
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
