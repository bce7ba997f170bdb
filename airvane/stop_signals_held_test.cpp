#include "stop_signals_held.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <csignal>

#include "sys/stop_signal.hpp"

namespace {

// How many of the stop signals this thread blocks.
int stops_blocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    int count = 0;
    for (const int signal_number : StopSignal::SIGNALS) count += sigismember(&blocked, signal_number) == 1 ? 1 : 0;
    return count;
}

TEST(StopSignalsHeld, AStopDuringSetUpWaitsForTheReleaseThenReachesTheOrderlyHandler) {
    {
        StopSignalsHeld held;
        EXPECT_EQ(stops_blocked(), 3);
        ASSERT_EQ(std::raise(SIGTERM), 0);
        EXPECT_FALSE(StopSignal::STOPPED.load());
        held.release();
        EXPECT_EQ(stops_blocked(), 0);
        EXPECT_TRUE(StopSignal::STOPPED.load());
    }
    StopSignal::STOPPED = false;
    // Left without a release, as on an error path: the process still stops on a signal.
    { StopSignalsHeld held; }
    EXPECT_EQ(stops_blocked(), 0);
}

}  // namespace
