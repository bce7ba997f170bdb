#pragma once

#include <chrono>
#include <functional>
#include <memory>

// The daemon's serial work queue: submitted units run one at a time, in arrival order, off the
// submitting thread, together with at most one repeating timer whose handler also runs there. So
// a request never overlaps a tick, and the session engine's state is touched by one unit at a
// time. A dispatch queue on the Mac, a worker thread on Linux.
class PowerQueue {
public:
    PowerQueue();
    // Runs what is already queued, stops the timer and waits for both.
    ~PowerQueue();
    PowerQueue(const PowerQueue&) = delete;
    PowerQueue& operator=(const PowerQueue&) = delete;

    // Queues `work` and returns at once.
    void async(std::function<void()> work);

    // Arms the one repeating timer: first `firstDelay` from now, then every `interval`. Ticks
    // missed while the queue was busy fire once, not in a burst. Replaces a timer armed before.
    // `leeway` is how late a tick may come so that the system can gather wake-ups; a platform
    // may grant less.
    void startTimer(std::chrono::milliseconds firstDelay, std::chrono::milliseconds interval,
                    std::function<void()> handler, std::chrono::milliseconds leeway = std::chrono::milliseconds(0));

    // Disarms the timer; once it returns no tick runs any more, also none begun before. Not to
    // be called from a unit running on the queue.
    void cancelTimer();

private:
    struct Implementation;
    std::unique_ptr<Implementation> implementation_;
};

// The daemon's queue, `powerQueue`; made on first use, it lives as long as the process.
PowerQueue& powerQueue();
