#include "Engine/guardian_test_support.hpp"
#include "Engine/process_runner.hpp"

#include "sys/clock.hpp"

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace {

class ProcessRunnerTest : public ::testing::Test {
protected:
    void SetUp() override { replaceGuardianContextForTesting(GuardianContext(dir.path())); }

    static std::string failureOf(const std::string& program, const std::vector<std::string>& arguments,
                                 double timeout = 10) {
        try {
            run(program, arguments, timeout);
        } catch (const GuardianError& error) {
            return error.message;
        }
        return "(no error)";
    }

    TempDir dir;
};

TEST_F(ProcessRunnerTest, BothStreamsShareOnePipe) {
    EXPECT_EQ(run("/bin/sh", {"-c", "echo out; echo err >&2; echo out2"}, 10), "out\nerr\nout2\n");
    EXPECT_EQ(run("/bin/true", {}, 10), "");
}

// More than a pipe holds: the output must be taken while the child runs, or the child blocks
// on the full pipe until the time-out kills it.
TEST_F(ProcessRunnerTest, LongOutputIsCollectedWhileTheChildRuns) {
    const std::string output = run("/bin/sh", {"-c", "head -c 300000 /dev/zero | tr '\\0' x"}, 5);
    EXPECT_EQ(output, std::string(300000, 'x'));
}

TEST_F(ProcessRunnerTest, ChildSeesExactlyThreeVariables) {
    ::setenv("GUARDIAN_TEST_LEAK", "1", 1);
    EXPECT_EQ(run("/usr/bin/env", {}, 10), "PATH=/usr/bin:/bin:/usr/sbin:/sbin\nLANG=C\nLC_ALL=C\n");
    ::unsetenv("GUARDIAN_TEST_LEAK");
}

TEST_F(ProcessRunnerTest, ArgumentsAreNotInterpretedByAShell) {
    EXPECT_EQ(run("/bin/echo", {"a b", "$HOME", ";", "*"}, 10), "a b $HOME ; *\n");
}

TEST_F(ProcessRunnerTest, StandardInputIsTheHeldLockOrTheNullDevice) {
    EXPECT_EQ(run("/bin/readlink", {"/proc/self/fd/0"}, 10), "/dev/null\n");

    const std::string lockFile = dir / "held";
    writeText(lockFile, "");
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    guardianContext().currentLockFD = fd;
    EXPECT_EQ(run("/bin/readlink", {"/proc/self/fd/0"}, 10), lockFile + "\n");
    guardianContext().currentLockFD.reset();
    EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "the runner closed the caller's descriptor";
    ::close(fd);

    // A guardian started with standard input closed may hold its lock as descriptor 0 itself.
    const int savedInput = ::dup(STDIN_FILENO);
    ::close(STDIN_FILENO);
    const int lowest = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    guardianContext().currentLockFD = lowest;
    const std::string seen = failureOf("/bin/readlink", {"/proc/self/fd/0"});
    guardianContext().currentLockFD.reset();
    ::dup2(savedInput, STDIN_FILENO);
    ::close(savedInput);
    EXPECT_EQ(lowest, STDIN_FILENO);
    EXPECT_EQ(seen, "(no error)");

    // Nothing else of the guardian's leaks into the child.
    EXPECT_EQ(run("/bin/sh", {"-c", "ls /proc/self/fd | wc -l"}, 10), "4\n");  // 0-2 and ls's own
}

TEST_F(ProcessRunnerTest, OutputThatIsNotUtf8BecomesEmpty) {
    EXPECT_EQ(run("/usr/bin/printf", {"ok\\377"}, 10), "");
    EXPECT_EQ(run("/usr/bin/printf", {"caf\\303\\251"}, 10), "café");
    EXPECT_EQ(failureOf("/bin/sh", {"-c", "printf '\\377'; exit 2"}), "sh failed: ");
}

TEST_F(ProcessRunnerTest, NonZeroStatusReportsTrimmedOutput) {
    EXPECT_EQ(failureOf("/bin/sh", {"-c", "printf ' \\t boom\\n line two \\n\\n'; exit 3"}),
              "sh failed: boom\n line two");
    EXPECT_EQ(failureOf("/bin/sh", {"-c", "echo; exit 1"}), "sh failed: ");
    EXPECT_EQ(failureOf("/bin/sh", {"-c", "kill -KILL $$"}), "sh failed: ");
}

TEST_F(ProcessRunnerTest, LaunchFailureIsThePlatformError) {
    const auto launchError = [](const std::string& program) {
        try {
            run(program, {}, 10);
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.what(), "Cannot launch " + program + ": " + error.code().message());
            return error.code().value();
        }
        return 0;
    };
    EXPECT_EQ(launchError(dir / "missing-tool"), ENOENT);
    const std::string notExecutable = dir / "plain";
    writeText(notExecutable, "#!/bin/sh\n");
    ::chmod(notExecutable.c_str(), 0644);
    EXPECT_EQ(launchError(notExecutable), EACCES);
}

// The daemon holds its stop signals back for its run loop and ignores SIGPIPE; a tool gets none
// of that.
TEST_F(ProcessRunnerTest, ChildStartsWithDefaultSignalHandlingAndNothingBlocked) {
    sigset_t held;
    sigset_t previous;
    ::sigemptyset(&held);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaddset(&held, signal);
    ::pthread_sigmask(SIG_BLOCK, &held, &previous);
    const auto previousPipe = std::signal(SIGPIPE, SIG_IGN);
    const std::string report = run("/bin/grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"}, 10);
    std::signal(SIGPIPE, previousPipe);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    EXPECT_EQ(report, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

// A guardian killed while its tool runs takes the tool with it: an orphan would keep the
// guardian lock, its standard input, held against the next daemon.
TEST_F(ProcessRunnerTest, ChildDoesNotOutliveAKilledGuardian) {
    const std::string pidPipe = dir / "tool-pid";
    ASSERT_EQ(::mkfifo(pidPipe.c_str(), 0600), 0);
    const pid_t middle = ::fork();
    if (middle == 0) {
        ::alarm(60);  // a broken launch must not leave this process waiting for good
        // Orphans of the guardian below come here instead of to init, so their end can be told.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        const pid_t guardian = ::fork();
        if (guardian == 0) {
            try {
                run("/bin/sh", {"-c", "echo $$ >'" + pidPipe + "'; exec sleep 20"}, 60);
            } catch (...) {
            }
            ::_exit(0);
        }
        const std::string pid = readText(pidPipe);  // opened once the tool runs
        ::kill(guardian, SIGKILL);
        ::waitpid(guardian, nullptr, 0);
        int status = 0;
        if (pid.empty() || ::waitpid(std::stoi(pid), &status, 0) < 0) ::_exit(2);
        ::_exit(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(middle, &status, 0), middle);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "tool outlived its guardian, wait status " << status;
}

TEST_F(ProcessRunnerTest, TimeOutEndsTheChild) {
    const std::string pidFile = dir / "pid";
    const double started = uptime_seconds();
    EXPECT_EQ(failureOf("/bin/sh", {"-c", "echo $$ > '" + pidFile + "'; exec sleep 30"}, 0.3), "sh timed out.");
    EXPECT_GE(uptime_seconds() - started, 0.3);
    const pid_t child = std::stoi(readText(pidFile));
    EXPECT_EQ(::kill(child, 0), -1) << "child still exists";
}

TEST_F(ProcessRunnerTest, ChildIgnoringTerminationIsKilled) {
    const std::string pidFile = dir / "pid";
    // The guardian may ignore SIGTERM itself; the child must still start with default handling.
    const auto previous = std::signal(SIGTERM, SIG_IGN);
    EXPECT_EQ(failureOf("/bin/sh", {"-c", "trap '' TERM; echo $$ > '" + pidFile + "'; while :; do :; done"}, 0.2),
              "sh timed out.");
    std::signal(SIGTERM, previous);
    const pid_t child = std::stoi(readText(pidFile));
    EXPECT_EQ(::kill(child, 0), -1);
}

}  // namespace
