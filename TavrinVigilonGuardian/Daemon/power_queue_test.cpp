#include "Daemon/power_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;

TEST(PowerQueue, UnitsRunOneAtATimeInArrivalOrderOffTheCallersThread) {
    std::vector<int> order;
    std::thread::id worker;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    {
        PowerQueue queue;
        for (int i = 0; i < 200; ++i) {
            queue.async([&, i] {
                if (running.fetch_add(1) != 0) overlapped = true;
                order.push_back(i);
                worker = std::this_thread::get_id();
                running.fetch_sub(1);
            });
        }
    }  // units already queued still run before the queue goes
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(overlapped);
    EXPECT_NE(worker, std::this_thread::get_id());
}

// One at a time is the promise; on which thread is not (a dispatch queue takes any of its pool).
TEST(PowerQueue, TicksNeverOverlapUnits) {
    PowerQueue queue;
    std::mutex mutex;
    std::condition_variable changed;
    int ticks = 0;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};

    queue.startTimer(milliseconds(0), milliseconds(1), [&] {
        if (running.fetch_add(1) != 0) overlapped = true;
        {
            const std::lock_guard lock(mutex);
            ++ticks;
        }
        changed.notify_all();
        running.fetch_sub(1);
    });
    for (int i = 0; i < 50; ++i) {
        queue.async([&] {
            if (running.fetch_add(1) != 0) overlapped = true;
            std::this_thread::yield();
            running.fetch_sub(1);
        });
    }
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return ticks >= 5; });
    }
    queue.cancelTimer();
    EXPECT_FALSE(overlapped);
}

TEST(PowerQueue, NoTickRunsOnceTheTimerIsCancelled) {
    PowerQueue queue;
    std::atomic<int> ticks{0};
    std::promise<void> first;
    std::atomic<bool> signalled{false};
    queue.startTimer(milliseconds(0), milliseconds(1), [&] {
        ++ticks;
        if (!signalled.exchange(true)) first.set_value();
    });
    first.get_future().wait();
    queue.cancelTimer();
    const int seen = ticks;
    // Units queued afterwards still run, and no tick slips in between.
    std::promise<void> later;
    queue.async([&] { later.set_value(); });
    later.get_future().wait();
    EXPECT_EQ(ticks, seen);
}

TEST(PowerQueue, ATimerSlowerThanItsPeriodDoesNotStarveUnits) {
    PowerQueue queue;
    std::atomic<int> ticks{0};
    std::atomic<int> ticksWhenUnitRan{-1};
    std::promise<void> ran;
    // Every tick outlasts the period, so another one is always due when it ends.
    queue.startTimer(milliseconds(0), milliseconds(1), [&] {
        if (++ticks == 1) {
            queue.async([&] {
                ticksWhenUnitRan = ticks.load();
                ran.set_value();
            });
        }
        std::this_thread::sleep_for(milliseconds(3));
    });
    ran.get_future().wait();
    queue.cancelTimer();
    EXPECT_EQ(ticksWhenUnitRan, 1);
}

}  // namespace
