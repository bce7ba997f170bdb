#pragma once

#include "Engine/guardian_directory.hpp"
#include "Engine/process_thermal_state.hpp"
#include "Engine/wake_thermal_limit.hpp"
#include "Engine/wake_thermal_protection.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Starts a program, waits at most `timeout` seconds and returns its combined output; throws on a
// failed launch, a time-out or a non-zero exit status.
using ProcessRunner =
    std::function<std::string(const std::string& program, const std::vector<std::string>& arguments, double timeout)>;

// Everything the session engine asks of the machine, replaceable as a whole or one by one.
struct GuardianSystem {
    ProcessRunner run;
    std::function<double()> uptime;       // system uptime; stops while the machine sleeps
    std::function<double()> safetyClock;  // WakeSafetyClock: keeps counting during sleep
    std::function<double()> wallClock;    // seconds since 1970
    std::function<std::int64_t()> thermalState;
    std::function<std::int64_t()> bootTime;  // throws GuardianError when it cannot be read
    std::function<std::optional<std::int64_t>()> batteryPercent;
    std::function<void(double seconds)> sleep;  // waits while polling for readiness
    std::function<std::string()> ownCodeHash;   // WakeCodeIdentity::currentHash; throws WakeIPCError
    // The system's announcements of a new thermal state (observeThermalState). Unless set,
    // nothing is observed and the tick alone reads the state.
    std::function<std::unique_ptr<ThermalStateObservation>(std::function<void(std::int64_t state)> changed)>
        observeThermalState =
            [](const std::function<void(std::int64_t)>&) { return std::unique_ptr<ThermalStateObservation>(); };

    static GuardianSystem production();
};

// The values every guardian operation of this process shares.
struct GuardianContext {
    explicit GuardianContext(std::string dataDirectory = guardianDirectory,
                             GuardianSystem platform = GuardianSystem::production());

    std::string directory;
    std::string markerPath;
    std::string heartbeatPath;
    std::string statePath;
    std::string lockPath;
    std::string installationPath;
    // The installed program and its launch-daemon definition; fixed outside the data directory.
    std::string helperPath;
    std::string daemonPath;
    // Set exactly while this process runs a body under the guardian lock.
    std::optional<int> currentLockFD;
    WakeThermalProtection thermalProtection;
    bool pendingThermalStop = false;
    WakeThermalLimit activeThermalLimit = WakeThermalLimit::fair;
    double lastStatusUpdate = 0;
    GuardianSystem system;
};

// Set once by the program entry, before any command runs. Throws std::logic_error when called
// a second time.
void initializeGuardianContext(GuardianContext context);

// The process's context. Throws std::logic_error before initialisation.
GuardianContext& guardianContext();

// Unit tests give every case a fresh context over its own data directory.
void replaceGuardianContextForTesting(GuardianContext context);
