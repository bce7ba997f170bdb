#include "Watcher/launch_control.hpp"

#include "Engine/wake_power_policy.hpp"
#include "Engine/guardian_context.hpp"

#include <exception>

namespace {
void launchctl(const std::vector<std::string>& arguments, double timeout) {
    guardianContext().system.run(launchctlPath, arguments, timeout);
}
}  // namespace

std::string daemonServiceTarget() { return std::string("system/") + WakePowerPolicy::daemonLabel; }

bool daemonIsLoaded() {
    try {
        launchctl({"print", daemonServiceTarget()}, launchctlTimeout);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void bootstrapDaemon() { launchctl({"bootstrap", "system", guardianContext().daemonPath}, launchctlTimeout); }

void kickstartDaemon() { launchctl({"kickstart", daemonServiceTarget()}, launchctlTimeout); }

void bootoutDaemon() { launchctl({"bootout", daemonServiceTarget()}, launchctlBootoutTimeout); }
