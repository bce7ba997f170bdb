#include "watch.hpp"

#include "Safety/wake_power_policy.hpp"
#include "Safety/wake_thermal_protection.hpp"
#include "Service/xpc_endpoint.hpp"
#include "Shared/wake_helper_installation.hpp"
#include "Shared/wake_ipc_contract.hpp"
#include "main_run_loop.hpp"
#include "guardian_context.hpp"
#include "guardian_error.hpp"
#include "guardian_lock.hpp"
#include "launch_recovery.hpp"
#include "power_queue.hpp"
#include "watch_tick.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr auto tickPeriod = std::chrono::milliseconds(static_cast<int>(WakeThermalProtection::pollInterval * 1000));

}  // namespace

WatcherService::WatcherService(const std::string& socketPath, const std::string& installLockPath) {
    auto& context = guardianContext();

    // 1. Whatever an earlier process or boot left behind is ended first.
    withGuardianLock([] { recoverAtLaunch(); });

    // 2. Only the guardian that registered serves its record.
    const auto installation = WakeHelperInstallation::load();
    const std::string ownHash = context.system.ownCodeHash();
    if (installation.helperHash != ownHash) throw GuardianError("설치된 도우미 서명이 일치하지 않습니다.");

    // 3. Who may connect.
    const std::string requirement = WakeIPCContract::requirement(installation.clientHash);
    delegate_ = std::make_shared<ListenerDelegate>(installation, requirement, installLockPath);

    // 4. The endpoint, not yet accepting.
    listener_ = std::make_unique<XPCListener>(WakePowerPolicy::daemonLabel, socketPath);
    listener_->setConnectionCodeSigningRequirement(requirement);
    listener_->setDelegate(delegate_);

    // 5. No thermal-state notification here: every tick reads the state itself.

    // 6. The heartbeat is fresh before anyone can ask for a session.
    watchTick(std::nullopt);

    // 7. From now on ticks share the queue with requests.
    // No leeway is granted: a timer slack of the worker thread would also slow the tools a tick
    // waits for.
    powerQueue().startTimer(tickPeriod, tickPeriod, [] { watchTick(std::nullopt); });
    timerArmed_ = true;

    // 8. Requests arrive from here on.
    listener_->resume();
}

WatcherService::~WatcherService() {
    if (listener_) listener_->invalidate();
    if (timerArmed_) powerQueue().cancelTimer();
}

void watch() {
    const WatcherService service(xpcServiceSocketPath(WakePowerPolicy::daemonLabel), WakeIPCContract::operationLockPath);
    runMainRunLoop();
    std::fputs("Guardian run loop unexpectedly ended\n", stderr);
    std::abort();
}
