#include "guardian_context.hpp"

#include "Safety/platform_readings.hpp"
#include "Safety/wake_guardian_state.hpp"
#include "Safety/wake_safety_clock.hpp"
#include "sys/clock.hpp"
#include "process_runner.hpp"
#include "sys/thermal.hpp"

#include <stdexcept>

GuardianSystem GuardianSystem::production() {
    return GuardianSystem{
        .run = [](const std::string& program, const std::vector<std::string>& arguments,
                  double timeout) { return ::run(program, arguments, timeout); },
        .uptime = [] { return uptime_seconds(); },
        .safetyClock = [] { return WakeSafetyClock::now(); },
        .wallClock = [] { return WakeGuardianState::wallClockNow(); },
        .thermalState = [] { return thermal_state(); },
        .bootTime = [] { return ::bootTime(); },
        .batteryPercent = [] { return ::batteryPercent(); },
    };
}

GuardianContext::GuardianContext(std::string dataDirectory, GuardianSystem platform)
    : directory(std::move(dataDirectory)),
      markerPath(directory + "/owned"),
      heartbeatPath(directory + "/watcher.json"),
      statePath(directory + "/state.json"),
      lockPath(directory + "/guardian.lock"),
      system(std::move(platform)) {}

namespace {
std::optional<GuardianContext>& processContext() {
    static std::optional<GuardianContext> context;
    return context;
}
}  // namespace

void initializeGuardianContext(GuardianContext context) {
    if (processContext()) throw std::logic_error("guardian context initialised twice");
    processContext().emplace(std::move(context));
}

GuardianContext& guardianContext() {
    if (!processContext()) throw std::logic_error("guardian context used before initialisation");
    return *processContext();
}

void replaceGuardianContextForTesting(GuardianContext context) {
    processContext().reset();
    processContext().emplace(std::move(context));
}
