#include "Daemon/power_queue.hpp"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

// One worker thread takes the units and the timer's ticks from a task list.
struct PowerQueue::Implementation {
    using Clock = std::chrono::steady_clock;

    struct Timer {
        Clock::time_point deadline;
        Clock::duration interval;
        std::function<void()> handler;
    };

    Implementation() : worker([this] { run(); }) {}
    ~Implementation();
    Implementation(const Implementation&) = delete;
    Implementation& operator=(const Implementation&) = delete;

    void run();
    // Under `mutex`: the next unit to run, or none once stopping with nothing left.
    std::optional<std::function<void()>> nextUnit(std::unique_lock<std::mutex>& lock);

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> units;
    std::optional<Timer> timer;
    bool lastWasTimer = false;
    bool stopping = false;
    std::thread worker;
};

PowerQueue::Implementation::~Implementation() {
    {
        const std::lock_guard lock(mutex);
        stopping = true;
        timer.reset();
    }
    changed.notify_all();
    worker.join();
}

std::optional<std::function<void()>> PowerQueue::Implementation::nextUnit(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        const auto now = Clock::now();
        // A tick that is due goes first, unless the last unit was a tick and requests wait:
        // a handler slower than the period must not starve the queue.
        const bool timerDue = timer && now >= timer->deadline && !(lastWasTimer && !units.empty());
        if (timerDue) {
            timer->deadline += timer->interval;
            if (timer->deadline <= now) timer->deadline = now + timer->interval;
            lastWasTimer = true;
            return timer->handler;
        }
        if (!units.empty()) {
            auto unit = std::move(units.front());
            units.pop_front();
            lastWasTimer = false;
            return unit;
        }
        if (stopping) return std::nullopt;
        if (timer) {
            changed.wait_until(lock, timer->deadline);
        } else {
            changed.wait(lock);
        }
    }
}

void PowerQueue::Implementation::run() {
    std::unique_lock lock(mutex);
    while (auto unit = nextUnit(lock)) {
        lock.unlock();
        (*unit)();
        unit.reset();
        lock.lock();
    }
}

PowerQueue::PowerQueue() : implementation_(std::make_unique<Implementation>()) {}

PowerQueue::~PowerQueue() = default;

void PowerQueue::async(std::function<void()> work) {
    auto& queue = *implementation_;
    {
        const std::lock_guard lock(queue.mutex);
        queue.units.push_back(std::move(work));
    }
    queue.changed.notify_all();
}

// No leeway is granted here: Linux has none per timer, only a timer slack per thread, and the
// worker's slack would also slow every wait of the units it runs (the process runner's polls)
// and pass to the tools they start.
void PowerQueue::startTimer(std::chrono::milliseconds firstDelay, std::chrono::milliseconds interval,
                            std::function<void()> handler, std::chrono::milliseconds) {
    auto& queue = *implementation_;
    {
        const std::lock_guard lock(queue.mutex);
        queue.timer = Implementation::Timer{Implementation::Clock::now() + firstDelay, interval, std::move(handler)};
    }
    queue.changed.notify_all();
}

void PowerQueue::cancelTimer() {
    auto& queue = *implementation_;
    {
        const std::lock_guard lock(queue.mutex);
        queue.timer.reset();
    }
    // A tick already under way ends before this barrier runs.
    std::promise<void> passed;
    auto barrier = passed.get_future();
    async([&passed] { passed.set_value(); });
    barrier.wait();
}
