#pragma once

#include "Service/xpc_listener.hpp"
#include "Daemon/listener_delegate.hpp"
#include "Engine/process_thermal_state.hpp"

#include <functional>
#include <memory>
#include <string>

// The daemon's service once it is up: the recovery done, the installation verified, thermal-state
// changes observed, the first tick run, the one-second tick armed on the power queue and the
// listener accepting.
class WatcherService {
public:
    // Sets the daemon up in its fixed order. Throws the first failure (lock, recovery,
    // installation record, "설치된 도우미 서명이 일치하지 않습니다.", requirement, endpoint);
    // then no listener has been opened. The paths are the endpoint's and the installer's lock;
    // other paths are for tests.
    WatcherService(const std::string& socketPath, const std::string& installLockPath);
    // Closes the endpoint and ends its connections, stops observing the thermal state and
    // disarms the tick.
    ~WatcherService();
    WatcherService(const WatcherService&) = delete;
    WatcherService& operator=(const WatcherService&) = delete;

    const ListenerDelegate& delegate() const { return *delegate_; }

    // Ends the service when the system asks the daemon to stop: no new connection is let in, the
    // thermal state is no longer observed and the tick is disarmed; requests already queued are
    // answered, then a last unit on the power queue runs `stopGuardian` and hands its exit status
    // to `leave`. The daemon's `leave` ends the process right there, so that nothing a connection
    // queues behind that unit ever runs. The connections already let in are neither ended nor
    // waited for before that: the process's end ends them. Returns once `leave` has returned.
    void stop(const std::function<void(int status)>& leave);

private:
    // Nothing new comes in any more: no connection, no thermal announcement, no tick.
    void quiesce();

    std::shared_ptr<ListenerDelegate> delegate_;
    std::unique_ptr<XPCListener> listener_;
    std::unique_ptr<ThermalStateObservation> thermalObservation_;
    bool timerArmed_ = false;
};

// The daemon's last unit once it is asked to stop, under the guardian lock: a session it holds
// ends and normal sleep comes back, verified and recorded with the reason "guardianStopped" (or
// "thermal", with the sleep request, while a thermal stop is pending); without the ownership
// marker nothing is changed. Returns the exit status: 0, or 1 after writing
// "Vigilon guardian: <message>" on standard error, with the marker and the retry record left
// for the next launch to recover from.
int stopGuardian();

// `guardian watch`: the daemon. Sets the service up at its fixed endpoint, then hands the main
// thread to the run loop until the system asks it to stop; then it stops the service and exits
// with `stopGuardian`'s status. Returns only by throwing a set-up failure.
[[noreturn]] void watch();
