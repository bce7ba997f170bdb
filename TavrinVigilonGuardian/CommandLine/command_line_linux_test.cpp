#include "CommandLine/command_line.hpp"

#include "Engine/guardian_lock.hpp"
#include "Engine/guardian_test_support_linux.hpp"
#include "Engine/state_store.hpp"
#include "Watcher/watcher_test_support.hpp"
#include "sys/unique_fd.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace {

// Whether the process's main thread holds SIGTERM, SIGINT and SIGHUP back.
bool holdsStopSignals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const auto bit = [](int signal) { return 1ULL << (signal - 1); };
    const auto stops = bit(SIGTERM) | bit(SIGINT) | bit(SIGHUP);
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("SigBlk:")) return (std::stoull(line.substr(7), nullptr, 16) & stops) == stops;
    }
    return false;
}

// Runs the guardian program with `verb` and a full pipe as its standard error, so that it stops
// at its very last act, writing why it failed (there is no data directory here), and tells
// whether it held the stop signals then. None when it never got there.
std::optional<bool> holdsStopSignalsToTheEnd(const std::string& verb) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    const UniqueFd reading(ends[0]);
    UniqueFd writing(ends[1]);
    ::fcntl(writing.get(), F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (::write(writing.get(), block.data(), block.size()) > 0) {
    }
    ::fcntl(writing.get(), F_SETFL, 0);

    const pid_t child = ::fork();
    if (child == 0) {
        // Whatever this test process holds back must not reach the program.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(writing.get(), STDERR_FILENO) == STDERR_FILENO) {
            ::execl(GUARDIAN_PROGRAM, "guardian", verb.c_str(), static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    writing.reset();
    const std::string waitingToWrite = std::to_string(SYS_write) + " 0x2 ";
    std::optional<bool> held;
    for (int i = 0; i < 2000 && !held && child > 0; ++i) {
        std::ifstream syscall("/proc/" + std::to_string(child) + "/syscall");
        std::string current;
        std::getline(syscall, current);
        if (current.starts_with(waitingToWrite)) {
            held = holdsStopSignals(child);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return held;
}

// A stop request in the daemon's first moments must wait for its run loop rather than end it
// before its launch recovery, so the program holds them back before it even looks at its command
// line, and before any thread exists; a one-shot command lets them through again.
TEST(GuardianEntry, OnlyTheDaemonHoldsStopSignalsAndFromItsFirstMoments) {
    EXPECT_EQ(holdsStopSignalsToTheEnd("watch"), true);
    EXPECT_EQ(holdsStopSignalsToTheEnd("stop"), false);
}

// No heartbeat can be written to a data directory remounted read-only, so no watcher can show
// itself ready there: the administrator's restore turns SleepDisabled off without waiting for one.
TEST_F(WatcherFixture, RestoreForcesNormalSleepOnAReadOnlyDirectory) {
    withGuardianLock([] {});  // the lock file exists once the guardian has run
    machine->pmset.sleepDisabled = true;
    const auto restoreCommand = [this] {
        std::ostringstream out, err;
        const int status = runCommandLine({"restore"}, 0, out, err);
        return std::to_string(status) + " " + err.str() + "SleepDisabled " +
               (machine->pmset.sleepDisabled ? "1" : "0") + ", launchctl calls " +
               std::to_string(callsOf("launchctl").size());
    };
    EXPECT_EQ(inReadOnlyDirectory(dir.path(), restoreCommand),
              "1 Cannot write " + context().statePath + ".\nSleepDisabled 0, launchctl calls 0");
}

}  // namespace
