#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// The daemon's serial work queue: one worker thread runs submitted units one at a time, in
// arrival order, together with at most one repeating timer whose handler also runs there. So a
// request never overlaps a tick, and the session engine's state is touched by one thread only.
class PowerQueue {
public:
    using Clock = std::chrono::steady_clock;

    PowerQueue();
    // Runs what is already queued, stops the timer and joins the worker.
    ~PowerQueue();
    PowerQueue(const PowerQueue&) = delete;
    PowerQueue& operator=(const PowerQueue&) = delete;

    // Queues `work` and returns at once.
    void async(std::function<void()> work);

    // Arms the one repeating timer: first `firstDelay` from now, then every `interval`. Ticks
    // missed while the queue was busy fire once, not in a burst. Replaces a timer armed before.
    void startTimer(std::chrono::milliseconds firstDelay, std::chrono::milliseconds interval,
                    std::function<void()> handler);

    // Disarms the timer; once it returns no tick runs any more, also none begun before. Not to
    // be called from a unit running on the queue.
    void cancelTimer();

private:
    struct Timer {
        Clock::time_point deadline;
        Clock::duration interval;
        std::function<void()> handler;
    };

    void run();
    // Under `mutex_`: the next unit to run, or none once stopping with nothing left.
    std::optional<std::function<void()>> nextUnit(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> units_;
    std::optional<Timer> timer_;
    bool lastWasTimer_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

// The daemon's queue, `powerQueue`; its worker starts on first use and lives as long as the
// process.
PowerQueue& powerQueue();
