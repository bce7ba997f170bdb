#include "Daemon/power_queue.hpp"

#include <dispatch/dispatch.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

// A serial dispatch queue; the timer is a timer source that delivers its ticks on that queue, so
// ticks and units never overlap. Plain C++: dispatch objects are released by hand here, and the
// function-pointer forms of the calls carry the work as a context.
struct PowerQueue::Implementation {
    // Default quality of service and no attributes: the serial queue as the platform makes it.
    dispatch_queue_t queue = dispatch_queue_create("app.tavrin.vigilon.power", DISPATCH_QUEUE_SERIAL);
    std::mutex mutex;  // guards `timer`
    dispatch_source_t timer = nullptr;

    // Cancels the armed timer, if any, without waiting for a tick under way, and arms `next`.
    void replaceTimer(dispatch_source_t next);
    // Returns once every unit submitted before, and any tick under way, has ended.
    void drain();
};

namespace {

using Work = std::function<void()>;

// A unit's or a tick's exception ends the process on both platforms, as one escaping a thread
// does on Linux.
void runUnit(void* context) noexcept {
    const std::unique_ptr<Work> unit(static_cast<Work*>(context));
    (*unit)();
}

void runTick(void* context) noexcept { (*static_cast<Work*>(context))(); }

// Runs on the queue once the source is cancelled and its last tick has ended.
void releaseTick(void* context) noexcept { delete static_cast<Work*>(context); }

void nothing(void*) noexcept {}

std::uint64_t nanoseconds(std::chrono::milliseconds span) {
    return static_cast<std::uint64_t>(std::chrono::nanoseconds(span).count());
}

}  // namespace

void PowerQueue::Implementation::replaceTimer(dispatch_source_t next) {
    // Neither call below waits for the queue, so holding the lock across them is safe.
    const std::lock_guard lock(mutex);
    if (timer != nullptr) {
        // No tick of it starts after this; the source itself goes once its cancellation has run.
        dispatch_source_cancel(timer);
        dispatch_release(timer);
    }
    timer = next;
    if (timer != nullptr) dispatch_activate(timer);
}

void PowerQueue::Implementation::drain() {
    // The queue is serial: this runs only after everything submitted before it, a tick under
    // way included.
    dispatch_sync_f(queue, nullptr, nothing);
}

PowerQueue::PowerQueue() : implementation_(std::make_unique<Implementation>()) {}

PowerQueue::~PowerQueue() {
    implementation_->replaceTimer(nullptr);
    implementation_->drain();
    dispatch_release(implementation_->queue);
}

void PowerQueue::async(std::function<void()> work) {
    dispatch_async_f(implementation_->queue, new Work(std::move(work)), runUnit);
}

void PowerQueue::startTimer(std::chrono::milliseconds firstDelay, std::chrono::milliseconds interval,
                            std::function<void()> handler, std::chrono::milliseconds leeway) {
    auto& queue = *implementation_;
    // Ticks that came due while the queue was busy are delivered as one: the source merges them.
    const dispatch_source_t source = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue.queue);
    dispatch_set_context(source, new Work(std::move(handler)));
    dispatch_source_set_event_handler_f(source, runTick);
    dispatch_source_set_cancel_handler_f(source, releaseTick);
    dispatch_source_set_timer(source,
                              dispatch_time(DISPATCH_TIME_NOW, static_cast<std::int64_t>(nanoseconds(firstDelay))),
                              nanoseconds(interval), nanoseconds(leeway));
    queue.replaceTimer(source);
}

void PowerQueue::cancelTimer() {
    implementation_->replaceTimer(nullptr);
    // A tick already under way ends before this returns; a cancelled source starts none.
    implementation_->drain();
}
