// What only a Mac can show: each platform seam of both programs asked of the real system. Run by
// the macOS workflow, signed ad hoc with the hardened runtime (the code-identity case needs it).

#include <fcntl.h>
#include <objc/runtime.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/guardian_test_support.hpp"
#include "Engine/platform_readings.hpp"
#include "Engine/process_runner.hpp"
#include "Engine/process_thermal_state.hpp"
#include "Engine/wake_code_identity.hpp"
#include "sys/clock.hpp"
#include "sys/code_hash.hpp"
#include "sys/durable_file.hpp"
#include "sys/peer_identity.hpp"
#include "sys/thermal.hpp"
#include "sys/unique_fd.hpp"

namespace {

TEST(MacSeams, ClocksCountOnAndTheContinuousOneIncludesSleep) {
    const double uptime = uptime_seconds();
    const double continuous = continuous_seconds();
    EXPECT_GT(uptime, 0);
    EXPECT_GE(continuous, uptime);
    ::usleep(20'000);
    EXPECT_GE(uptime_seconds(), uptime);
    EXPECT_GE(continuous_seconds(), continuous);
}

TEST(MacSeams, ThermalStateIsOneOfTheFourLevelsFromTheRealClass) {
    EXPECT_NE(objc_getClass("NSProcessInfo"), nullptr);
    for (const std::int64_t level : {thermal_state(), processThermalState()}) {
        EXPECT_GE(level, 0);
        EXPECT_LE(level, 3);
    }
}

TEST(MacSeams, BootIdentityIsStableAndBatteryAPercentageOrNothing) {
    const std::int64_t boot = bootTime();
    EXPECT_GT(boot, 0);
    EXPECT_EQ(bootTime(), boot);
    if (const auto level = batteryPercent()) {
        EXPECT_GE(*level, 0);
        EXPECT_LE(*level, 100);
    }
}

TEST(MacSeams, FullDeviceFlushOfAFileAndItsDirectory) {
    const TempDir dir;
    const std::string path = dir / "record";
    const UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(file);
    ASSERT_EQ(::write(file.get(), "x", 1), 1);
    EXPECT_TRUE(flush_to_storage(file.get()));
    EXPECT_TRUE(flush_directory_of(path));
}

class MacProcessRunner : public testing::Test {
protected:
    MacProcessRunner() { replaceGuardianContextForTesting(GuardianContext(dir.path())); }
    TempDir dir;
};

TEST_F(MacProcessRunner, OutputTimeOutAndDefaultSignalHandlingInTheChild) {
    EXPECT_EQ(run("/bin/echo", {"awake"}, 10), "awake\n");
    try {
        run("/bin/sleep", {"5"}, 0.2);
        ADD_FAILURE() << "no time-out";
    } catch (const GuardianError& error) {
        EXPECT_EQ(error.message, "sleep timed out.");
    }

    // The daemon holds its stop signals back and may ignore others; a tool must die of them.
    sigset_t held;
    sigset_t previous;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &held, &previous);
    const auto previousInterrupt = std::signal(SIGINT, SIG_IGN);
    for (const char* const signal : {"TERM", "INT"}) {
        EXPECT_THROW(run("/bin/sh", {"-c", std::string("kill -") + signal + " $$; echo survived"}, 10), GuardianError)
            << "the child outlived SIG" << signal;
    }
    std::signal(SIGINT, previousInterrupt);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TEST(MacSeams, PeerChecksOverASocketPair) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    const UniqueFd near(ends[0]);
    const UniqueFd far(ends[1]);
    EXPECT_EQ(peer_effective_uid(near.get()), ::geteuid());

    const std::string own = WakeCodeIdentity::currentHash();
    EXPECT_EQ(peer_code(near.get(), code_requirement(own)), PeerCode::satisfies);
    std::string other = own;
    other[0] = other[0] == '0' ? '1' : '0';
    EXPECT_EQ(peer_code(near.get(), code_requirement(other)), PeerCode::fails);
}

}  // namespace
