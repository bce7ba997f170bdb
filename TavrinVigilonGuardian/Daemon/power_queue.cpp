#include "Daemon/power_queue.hpp"

#include <future>
#include <utility>

PowerQueue::PowerQueue() : worker_([this] { run(); }) {}

PowerQueue::~PowerQueue() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        timer_.reset();
    }
    changed_.notify_all();
    worker_.join();
}

void PowerQueue::async(std::function<void()> work) {
    {
        const std::lock_guard lock(mutex_);
        units_.push_back(std::move(work));
    }
    changed_.notify_all();
}

void PowerQueue::startTimer(std::chrono::milliseconds firstDelay, std::chrono::milliseconds interval,
                            std::function<void()> handler) {
    {
        const std::lock_guard lock(mutex_);
        timer_ = Timer{Clock::now() + firstDelay, interval, std::move(handler)};
    }
    changed_.notify_all();
}

void PowerQueue::cancelTimer() {
    {
        const std::lock_guard lock(mutex_);
        timer_.reset();
    }
    // A tick already under way ends before this barrier runs.
    std::promise<void> passed;
    auto barrier = passed.get_future();
    async([&passed] { passed.set_value(); });
    barrier.wait();
}

std::optional<std::function<void()>> PowerQueue::nextUnit(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        const auto now = Clock::now();
        // A tick that is due goes first, unless the last unit was a tick and requests wait:
        // a handler slower than the period must not starve the queue.
        const bool timerDue = timer_ && now >= timer_->deadline && !(lastWasTimer_ && !units_.empty());
        if (timerDue) {
            timer_->deadline += timer_->interval;
            if (timer_->deadline <= now) timer_->deadline = now + timer_->interval;
            lastWasTimer_ = true;
            return timer_->handler;
        }
        if (!units_.empty()) {
            auto unit = std::move(units_.front());
            units_.pop_front();
            lastWasTimer_ = false;
            return unit;
        }
        if (stopping_) return std::nullopt;
        if (timer_) {
            changed_.wait_until(lock, timer_->deadline);
        } else {
            changed_.wait(lock);
        }
    }
}

void PowerQueue::run() {
    std::unique_lock lock(mutex_);
    while (auto unit = nextUnit(lock)) {
        lock.unlock();
        (*unit)();
        unit.reset();
        lock.lock();
    }
}

PowerQueue& powerQueue() {
    // Never destroyed: connection threads may still queue work while the process exits.
    static PowerQueue* const queue = new PowerQueue;
    return *queue;
}
