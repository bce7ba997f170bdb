#include "Engine/guardian_context.hpp"

#include "Engine/platform_readings.hpp"
#include "Engine/wake_guardian_state.hpp"
#include "Engine/wake_power_policy.hpp"
#include "Engine/wake_code_identity.hpp"
#include "Engine/wake_safety_clock.hpp"
#include "sys/clock.hpp"
#include "Engine/process_runner.hpp"
#include "Engine/process_thermal_state.hpp"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <utility>

GuardianSystem GuardianSystem::production() {
    return GuardianSystem{
        .run = [](const std::string& program, const std::vector<std::string>& arguments,
                  double timeout) { return ::run(program, arguments, timeout); },
        .uptime = [] { return uptime_seconds(); },
        .safetyClock = [] { return WakeSafetyClock::now(); },
        .wallClock = [] { return WakeGuardianState::wallClockNow(); },
        .thermalState = [] { return processThermalState(); },
        .bootTime = [] { return ::bootTime(); },
        .batteryPercent = [] { return ::batteryPercent(); },
        .sleep =
            [](double seconds) {
                timespec left{.tv_sec = static_cast<std::time_t>(seconds),
                              .tv_nsec = static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
                while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
                }
            },
        .ownCodeHash = [] { return WakeCodeIdentity::currentHash(); },
        .observeThermalState =
            [](std::function<void(std::int64_t)> changed) { return ::observeThermalState(std::move(changed)); },
    };
}

GuardianContext::GuardianContext(std::string dataDirectory, GuardianSystem platform)
    : directory(std::move(dataDirectory)),
      markerPath(directory + "/owned"),
      heartbeatPath(directory + "/watcher.json"),
      statePath(directory + "/state.json"),
      lockPath(directory + "/guardian.lock"),
      installationPath(directory + "/installation.json"),
      helperPath(WakePowerPolicy::helperPath),
      daemonPath(WakePowerPolicy::daemonPath),
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
