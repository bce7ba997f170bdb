#include "Watcher/ensure_watcher.hpp"

#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/heartbeat.hpp"
#include "Watcher/launch_control.hpp"
#include "Engine/path_trust.hpp"

#include <exception>

namespace {

constexpr double readinessWait = 12;
constexpr double readinessPoll = 0.1;

// A heartbeat that cannot be read or decoded, or a boot identity that cannot be read, is simply
// not fresh yet.
bool watcherIsReady(GuardianContext& context) {
    const auto heartbeat = readHeartbeat(context.heartbeatPath);
    if (!heartbeat) return false;
    try {
        const auto boot = context.system.bootTime();
        return heartbeatIsFresh(*heartbeat, boot, context.system.uptime());
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

void ensureWatcher() {
    auto& context = guardianContext();

    trustedPath(context.helperPath, false);
    trustedPath(context.daemonPath, false);

    if (!daemonIsLoaded()) bootstrapDaemon();

    kickstartDaemon();

    const double waitStarted = context.system.uptime();
    while (context.system.uptime() - waitStarted < readinessWait) {
        if (watcherIsReady(context)) return;
        context.system.sleep(readinessPoll);
    }

    throw GuardianError("Guardian did not become ready. Sleep settings were not enabled.");
}
