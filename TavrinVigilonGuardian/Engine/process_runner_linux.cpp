#include "Engine/process_runner_platform.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace process_runner_detail {

std::pair<UniqueFd, UniqueFd> makePipe(const std::string& name) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throwSystemError(errno, "Cannot create a pipe for " + name);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    return {aboveStandardStreams(std::move(readEnd)), aboveStandardStreams(std::move(writeEnd))};
}

}  // namespace process_runner_detail

namespace {

using namespace process_runner_detail;

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
    const rlim_t last =
        ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur : 65536;
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
        const ssize_t count = ::read(reportRead, reinterpret_cast<char*>(&code) + received, sizeof code - received);
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

namespace process_runner_detail {

LaunchedChild launchChild(const ChildLaunch& launchPlan, const std::string& program) {
    auto [reportRead, reportWrite] = makePipe(programName(program));
    const ChildPlan plan{.path = launchPlan.path,
                         .argv = launchPlan.argv,
                         .envp = launchPlan.envp,
                         .input = launchPlan.input,
                         .output = launchPlan.output,
                         .report = reportWrite.get(),
                         .parent = ::getpid()};
    const pid_t pid = launch(plan, reportWrite, reportRead.get(), program);
    // Readable once the child has exited, so the wait need not sleep out its 20 ms.
    return {pid, UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)))};
}

}  // namespace process_runner_detail
