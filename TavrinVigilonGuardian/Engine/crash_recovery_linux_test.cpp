// Kills a process that is in the middle of starting and ending sessions, at random moments and at
// moments when its session surely holds SleepDisabled, and checks after every kill that the
// recovery a relaunched watcher performs leaves normal sleep.

#include "Engine/atomic_write.hpp"
#include "Engine/guardian_lock.hpp"
#include "Engine/guardian_test_support.hpp"
#include "Engine/heartbeat.hpp"
#include "Engine/process_runner.hpp"
#include "Engine/session.hpp"
#include "Engine/sleep_control.hpp"
#include "Engine/state_store.hpp"

#include "Engine/platform_readings.hpp"
#include "sys/clock.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kills = 300;
constexpr unsigned seed = 20240611;

class SubstitutePmsetTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The substitute tool, its state kept in this test's directory instead of the machine's /run.
        const std::string source = readText(GUARDIAN_SIM_PMSET);
        const std::string fixedState = "\nstate_dir=/run/sim-pmset\n";
        const auto at = source.find(fixedState);
        ASSERT_NE(at, std::string::npos);
        std::string tool = source;
        tool.replace(at, fixedState.size(), "\nstate_dir='" + tools / "pmset-state" + "'\n");
        writeText(pmset(), tool);
        ::chmod(pmset().c_str(), 0755);

        GuardianSystem system = GuardianSystem::production();
        const std::string toolPath = pmset();
        system.run = [toolPath](const std::string& program, const std::vector<std::string>& arguments, double timeout) {
            return run(program == "/usr/bin/pmset" ? toolPath : program, arguments, timeout);
        };
        system.thermalState = [] { return std::int64_t{0}; };
        system.batteryPercent = [] { return std::optional<std::int64_t>(80); };
        replaceGuardianContextForTesting(GuardianContext(data.path(), system));
    }

    std::string pmset() const { return tools / "pmset"; }

    bool sleepIsDisabled() const {
        const std::string value = readText(tools / "pmset-state/SleepDisabled");
        return !value.empty() && value[0] == '1';
    }

    std::string stateFile(const std::string& name) const { return tools / ("pmset-state/" + name); }

    // A session's start, as the daemon's start request would run it under the guardian lock.
    static void startSession() {
        auto& context = guardianContext();
        atomicWrite(
            Heartbeat{.pid = ::getpid(), .bootTime = context.system.bootTime(), .uptime = context.system.uptime()},
            context.heartbeatPath, false);
        start(10, WakeThermalLimit::fair);
    }

    // One session from start to end, as the daemon's own work units would run them.
    static void cycle(int round) {
        withGuardianLock([] { startSession(); });
        withGuardianLock([&] {
            if (round % 4 == 3) {
                safetyStop("thermal");
            } else {
                restore(round % 4 == 1 ? "manualRestore" : "userStopped", round % 4 == 1);
            }
        });
    }

    TempDir data;
    TempDir tools;
};

TEST_F(SubstitutePmsetTest, InjectedFaultsReachTheGuardianAsTheRealToolsWould) {
    std::filesystem::create_directories(tools / "pmset-state");
    setSleepDisabled(true);
    EXPECT_TRUE(sleepDisabled());

    writeText(stateFile("malformed"), "");
    EXPECT_THROW(sleepDisabled(), GuardianError);
    std::filesystem::remove(stateFile("malformed"));
    writeText(stateFile("no-header"), "");
    EXPECT_TRUE(sleepDisabled()) << "the value line alone still counts";
    writeText(stateFile("no-key"), "");
    try {
        sleepDisabled();
        ADD_FAILURE() << "a report without header or true value was trusted";
    } catch (const GuardianError& error) {
        EXPECT_EQ(error.message, "Cannot verify SleepDisabled.");
    }
    std::filesystem::remove(stateFile("no-header"));
    EXPECT_FALSE(sleepDisabled()) << "the header alone means sleep is not disabled";
    std::filesystem::remove(stateFile("no-key"));
    setSleepDisabled(false);

    writeText(stateFile("ignore-set"), "");
    EXPECT_THROW(setSleepDisabled(true), GuardianError);
    std::filesystem::remove(stateFile("ignore-set"));

    writeText(stateFile("fail-set"), "Error: not permitted\n");
    try {
        setSleepDisabled(true);
        ADD_FAILURE();
    } catch (const GuardianError& error) {
        EXPECT_EQ(error.message, "pmset failed: Error: not permitted");
    }
    EXPECT_FALSE(sleepDisabled()) << "only the named command fails";
    std::filesystem::remove(stateFile("fail-set"));

    requestSleep();
    requestSleep();
    EXPECT_EQ(readText(stateFile("sleepnow-count")), "2\n");

    writeText(stateFile("hang-get"), "");
    try {
        run(pmset(), {"-g"}, 0.2);
        ADD_FAILURE();
    } catch (const GuardianError& error) {
        EXPECT_EQ(error.message, "pmset timed out.");
    }
}

using CrashRecoveryTest = SubstitutePmsetTest;

TEST_F(CrashRecoveryTest, SleepIsAlwaysRestoredAfterAKill) {
    // A worker starts its first session at once, so kills spread over one cycle reach every step.
    const double before = uptime_seconds();
    testing::internal::CaptureStdout();
    cycle(0);
    testing::internal::GetCapturedStdout();
    const double cycleSeconds = uptime_seconds() - before;
    ASSERT_FALSE(sleepIsDisabled());

    std::mt19937 random(seed);
    std::uniform_int_distribution<long> delay(0, static_cast<long>(cycleSeconds * 1e6));
    int killedHoldingSetting = 0;
    int performed = 0;
    for (int kill = 0; kill < kills; ++kill) {
        // Most kills land at a random moment. Every tenth lands where the setting is surely held:
        // the worker's session has just started and the worker waits inside the guardian lock.
        const bool holdingSetting = kill % 10 == 0;
        int ready[2];
        ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        const pid_t worker = ::fork();
        if (worker == 0) {
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            if (holdingSetting) {
                withGuardianLock([&] {
                    startSession();
                    (void)!::write(ready[1], "!", 1);
                    for (;;) ::pause();
                });
            }
            for (int round = 0; round < 10000; ++round) {
                try {
                    cycle(round);
                } catch (const std::exception&) {
                }
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        if (holdingSetting) {
            char started = 0;
            const bool told = ::read(ready[0], &started, 1) == 1;
            ::close(ready[0]);
            ASSERT_TRUE(told) << "the session of kill " << kill << " did not start";
        } else {
            ::close(ready[0]);
            std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        }
        ::kill(worker, SIGKILL);
        ++performed;
        ::waitpid(worker, nullptr, 0);

        // A tool the dead worker left running dies with it, and the lock (its standard input)
        // comes free.
        withGuardianLock([&] {
            const bool owned = markerExists();
            ASSERT_TRUE(owned || !sleepIsDisabled()) << "SleepDisabled without the marker after kill " << kill;
            if (owned && sleepIsDisabled()) ++killedHoldingSetting;
            if (holdingSetting) {
                ASSERT_TRUE(owned && sleepIsDisabled()) << "the setting was not held at kill " << kill;
            }

            restore("restarted", false);

            EXPECT_FALSE(sleepIsDisabled()) << "after kill " << kill;
            EXPECT_FALSE(markerExists()) << "after kill " << kill;
            const auto state = readState();
            if (state) {
                EXPECT_FALSE(state->active) << "after kill " << kill;
                EXPECT_FALSE(state->error) << "after kill " << kill;
            }
        });
        if (HasFailure()) break;
    }
    std::printf("crash recovery: %d kills (seed %u), %d while the session held SleepDisabled\n", performed, seed,
                killedHoldingSetting);
}

}  // namespace
