#include "Engine/sleep_control.hpp"

#include "Engine/wake_power_policy.hpp"
#include "Engine/wake_durable_file.hpp"
#include "Engine/atomic_write.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/output_line.hpp"

namespace {
std::string pmset(const std::vector<std::string>& arguments) {
    return guardianContext().system.run(pmsetPath, arguments, pmsetTimeout);
}
}  // namespace

bool sleepDisabled() {
    const auto value = WakePowerPolicy::sleepDisabled(pmset({"-g"}));
    if (!value) throw GuardianError("Cannot verify SleepDisabled.");
    return *value;
}

void setSleepDisabled(bool wanted) {
    pmset({"-a", "disablesleep", wanted ? "1" : "0"});
    if (sleepDisabled() != wanted) throw GuardianError("SleepDisabled verification failed.");
}

void claimSetting() {
    const std::string& markerPath = guardianContext().markerPath;
    replaceFile(markerPath, "", 0600, true, "Cannot secure ownership marker.");
    WakeDurableFile::synchronize(markerPath, 0);
}

void requestSleep() {
    pmset({"sleepnow"});
    writeOutputLine(OutputStream::standardError, "Vigilon: requested system sleep after a thermal trip.");
}
