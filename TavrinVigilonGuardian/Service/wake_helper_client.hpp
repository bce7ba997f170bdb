#pragma once

#include "Engine/wake_thermal_limit.hpp"
#include "Service/xpc_error.hpp"

#include <chrono>
#include <cstdint>
#include <string>

// The front end's side of the guardian's service: one validated request to a guardian pinned by
// its code hash, answered by exactly one outcome.
class WakeHelperClient {
public:
    static constexpr std::chrono::milliseconds replyTimeout{30000};

    // The installed guardian's service, with the 30-second time-out.
    WakeHelperClient();
    // Another endpoint and time-out: for tests and the simulated machine.
    WakeHelperClient(std::string socketPath, std::chrono::milliseconds timeout);

    // The guardian's success message ("완료", or "3" for "ping"). Blocks the calling thread until
    // the outcome is known. Throws WakeIPCError for a refused or failed request, and the
    // transport's own XPCError when that came first.
    std::string request(const std::string& verb, std::int64_t minutes, WakeThermalLimit thermalLimit,
                        const std::string& expectedHash) const;
    // For "ping", "stop" and "restore", which carry no minutes.
    std::string request(const std::string& verb, WakeThermalLimit thermalLimit, const std::string& expectedHash) const {
        return request(verb, 0, thermalLimit, expectedHash);
    }

private:
    std::string socketPath_;
    std::chrono::milliseconds timeout_;
};
