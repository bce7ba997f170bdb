#pragma once

#include "Service/xpc_listener.hpp"
#include "listener_delegate.hpp"

#include <memory>
#include <string>

// The daemon's service once it is up: the recovery done, the installation verified, the first
// tick run, the one-second tick armed on the power queue and the listener accepting.
class WatcherService {
public:
    // Sets the daemon up in its fixed order. Throws the first failure (lock, recovery,
    // installation record, "설치된 도우미 서명이 일치하지 않습니다.", requirement, endpoint);
    // then no listener has been opened. The paths are the endpoint's and the installer's lock;
    // other paths are for tests.
    WatcherService(const std::string& socketPath, const std::string& installLockPath);
    // Closes the endpoint and disarms the tick.
    ~WatcherService();
    WatcherService(const WatcherService&) = delete;
    WatcherService& operator=(const WatcherService&) = delete;

    const ListenerDelegate& delegate() const { return *delegate_; }

private:
    std::shared_ptr<ListenerDelegate> delegate_;
    std::unique_ptr<XPCListener> listener_;
    bool timerArmed_ = false;
};

// `guardian watch`: the daemon. Sets the service up at its fixed endpoint, then hands the main
// thread to the run loop for good. Returns only by throwing a set-up failure.
[[noreturn]] void watch();
