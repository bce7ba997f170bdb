#include "Engine/process_thermal_state.hpp"

#include "sys/thermal.hpp"

// The thermal zones, read as the fan helper reads them.
std::int64_t processThermalState() { return thermal_state(); }

// The kernel announces no change of a zone's trip state, and none is needed: the watcher's
// one-second tick reads the state itself.
std::unique_ptr<ThermalStateObservation> observeThermalState(std::function<void(std::int64_t)>) { return nullptr; }
