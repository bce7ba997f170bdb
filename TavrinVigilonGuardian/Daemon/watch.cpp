#include "Daemon/watch.hpp"

#include "Engine/wake_power_policy.hpp"
#include "Engine/wake_thermal_protection.hpp"
#include "Service/xpc_endpoint.hpp"
#include "Watcher/wake_helper_installation.hpp"
#include "Engine/wake_ipc_contract.hpp"
#include "Daemon/main_run_loop.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/guardian_lock.hpp"
#include "Engine/output_line.hpp"
#include "Watcher/launch_recovery.hpp"
#include "Daemon/power_queue.hpp"
#include "Engine/session.hpp"
#include "Watcher/watch_tick.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>

namespace {

constexpr auto tickPeriod = std::chrono::milliseconds(static_cast<int>(WakeThermalProtection::pollInterval * 1000));
// How late a tick may come, so that the system can gather the daemon's wake-ups with others.
constexpr auto tickLeeway = std::chrono::milliseconds(100);

}  // namespace

WatcherService::WatcherService(const std::string& socketPath, const std::string& installLockPath) {
    auto& context = guardianContext();

    // Whatever an earlier process or boot left behind is ended first.
    withGuardianLock([] { recoverAtLaunch(); });

    // Only the guardian that registered serves its record.
    const auto installation = WakeHelperInstallation::load();
    const std::string ownHash = context.system.ownCodeHash();
    if (installation.helperHash != ownHash) throw GuardianError("설치된 도우미 서명이 일치하지 않습니다.");

    // Who may connect.
    const std::string requirement = WakeIPCContract::requirement(installation.clientHash);
    delegate_ = std::make_shared<ListenerDelegate>(installation, requirement, installLockPath);

    // The endpoint, not yet accepting.
    listener_ = std::make_unique<XPCListener>(WakePowerPolicy::daemonLabel, socketPath);
    listener_->setConnectionCodeSigningRequirement(requirement);
    listener_->setDelegate(delegate_);

    // A thermal trip ends a session at once rather than at the next tick. The announcing thread
    // only queues the tick, with the state it announced.
    thermalObservation_ = context.system.observeThermalState(
        [](std::int64_t state) { powerQueue().async([state] { watchTick(state); }); });

    // The heartbeat is fresh before anyone can ask for a session.
    watchTick(std::nullopt);

    // From now on ticks share the queue with requests.
    powerQueue().startTimer(
        tickPeriod, tickPeriod, [] { watchTick(std::nullopt); }, tickLeeway);
    timerArmed_ = true;

    // Requests arrive from here on.
    listener_->resume();
}

WatcherService::~WatcherService() {
    quiesce();
    if (listener_) listener_->invalidate();
}

// Quick whatever the peers do: the connections already let in are not waited for here.
void WatcherService::quiesce() {
    if (listener_) listener_->stopAccepting();
    thermalObservation_.reset();
    if (timerArmed_) powerQueue().cancelTimer();
    timerArmed_ = false;
}

// Normal sleep comes back before any connection is ended, and without waiting for one: a peer
// whose code check is stuck on a file system that stopped answering must not hold back the
// restore, nor keep the process from leaving before the system loses patience and kills it.
void WatcherService::stop(const std::function<void(int status)>& leave) {
    quiesce();
    std::promise<void> done;
    auto finished = done.get_future();
    powerQueue().async([&] {
        leave(stopGuardian());
        done.set_value();
    });
    finished.wait();
}

int stopGuardian() {
    std::exception_ptr failure;
    try {
        withGuardianLock([] {
            // A thermal stop that is still pending stays thermal, with its sleep request.
            if (guardianContext().pendingThermalStop) {
                safetyStop("thermal");
            } else {
                restore("guardianStopped", false);
            }
        });
        return 0;
    } catch (...) {
        failure = std::current_exception();
    }
    writeOutputLine(OutputStream::standardError, "Vigilon guardian: ", failureDescription(failure));
    return 1;
}

namespace {

// Leaves at once, from whichever thread: static destructors must not run while the other
// threads still use what they tear down.
[[noreturn]] void leaveProcess(int status) {
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace

void watch() {
    // Before the service creates any thread, so that every thread inherits it.
    holdStopRequests();
    WatcherService service(xpcServiceSocketPath(WakePowerPolicy::daemonLabel), WakeIPCContract::operationLockPath);
    runMainRunLoop([&service] { service.stop(leaveProcess); });
    writeOutputLine(OutputStream::standardError, "Guardian run loop unexpectedly ended");
    std::abort();
}
