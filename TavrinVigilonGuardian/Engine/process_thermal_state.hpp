#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// The system's thermal state as the guardian reads it from the process information: 0 nominal,
// 1 fair, 2 serious, 3 critical.
std::int64_t processThermalState();

// Keeps a thermal-state observer registered for as long as it lives; releasing it removes the
// observer.
class ThermalStateObservation {
public:
    ThermalStateObservation() = default;
    virtual ~ThermalStateObservation() = default;
    ThermalStateObservation(const ThermalStateObservation&) = delete;
    ThermalStateObservation& operator=(const ThermalStateObservation&) = delete;
};

// Calls `changed` with the new state on every change the system announces, on whichever thread
// announces it, until the returned observation is released. Where the system announces no change
// nothing is observed and the observation is empty.
std::unique_ptr<ThermalStateObservation> observeThermalState(std::function<void(std::int64_t state)> changed);
