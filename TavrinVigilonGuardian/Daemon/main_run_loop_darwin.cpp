#include "Daemon/main_run_loop.hpp"

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

// What the waiting thread hands to the main run loop: a source of the run loop's own, signalled
// once a stop request has been taken (or waiting broke down). Shared with the waiting thread,
// which may outlive a run loop that ended by itself.
struct Handover {
    Handover(CFRunLoopRef runLoop, const std::function<void()>& stopAction) : loop(runLoop), stop(&stopAction) {
        CFRetain(loop);
    }
    ~Handover() {
        if (source != nullptr) CFRelease(source);
        CFRelease(loop);
    }
    Handover(const Handover&) = delete;
    Handover& operator=(const Handover&) = delete;

    const CFRunLoopRef loop;
    const std::function<void()>* const stop;
    CFRunLoopSourceRef source = nullptr;
    std::atomic<bool> requested{false};
};

// Runs on the main thread, inside the run loop, once the source has been signalled.
void takeOver(void* info) {
    auto& handover = *static_cast<Handover*>(info);
    if (handover.requested.load()) (*handover.stop)();
    CFRunLoopStop(handover.loop);
}

}  // namespace

// The main thread belongs to the main run loop, which serves what the frameworks schedule there, so
// it cannot block waiting for the signals itself. A thread of its own takes them synchronously, as
// the main thread does on Linux (it inherits the held signals, so a request that came during
// start-up is still pending for it), and hands over through a run-loop source: the stop then runs
// on the main thread.
void runMainRunLoop(const std::function<void()>& stop) {
    const auto handover = std::make_shared<Handover>(CFRunLoopGetCurrent(), stop);
    CFRunLoopSourceContext context{};
    context.version = 0;
    context.info = handover.get();
    context.perform = takeOver;
    handover->source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    if (handover->source == nullptr) return;
    // The source also keeps the run loop from finding itself without sources and returning.
    CFRunLoopAddSource(handover->loop, handover->source, kCFRunLoopDefaultMode);

    std::thread([handover] {
        handover->requested = takeStopRequest();
        CFRunLoopSourceSignal(handover->source);
        CFRunLoopWakeUp(handover->loop);
    }).detach();

    CFRunLoopRun();
    // A run loop that ended by itself must not run the stop later from another pass.
    CFRunLoopSourceInvalidate(handover->source);
}
