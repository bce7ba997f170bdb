#include "Daemon/control.hpp"

#include "Service/xpc_server_connection.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/guardian_lock.hpp"
#include "Daemon/install_lock.hpp"
#include "Daemon/power_queue.hpp"
#include "Engine/session.hpp"
#include "Engine/state_store.hpp"
#include "Engine/wake_ipc_error.hpp"

#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace {

const char* const refusal = "허용되지 않은 요청입니다.";

// Whether a thermal reading taken now ends or forbids a session: the thermal protection's
// reason, with the marker standing for a session being watched.
std::optional<std::string> thermalReason(GuardianContext& context, bool owned) {
    return context.thermalProtection.update(context.system.thermalState(), context.system.safetyClock(),
                                            context.activeThermalLimit, owned);
}

void startSession(std::int64_t minutes, std::int64_t thermalLimit) {
    const auto limit = wakeThermalLimit(thermalLimit);
    if (!limit) throw GuardianError("Invalid thermal limit.");
    withGuardianLock([&] { start(minutes, *limit); });
}

// A stop that meets a thermal trip (or one still pending) is the thermal safety stop, with its
// sleep request, never a plain user stop.
void stopSession() {
    withGuardianLock([] {
        auto& context = guardianContext();
        const auto reason = thermalReason(context, markerExists());
        if (context.pendingThermalStop || reason) {
            safetyStop(reason.value_or("thermal"));
        } else {
            restore("userStopped", false);
        }
    });
}

// Without a session of its own the guardian forces normal sleep as asked; with one, a thermal
// trip still takes precedence.
void restoreNormalSleep() {
    withGuardianLock([] {
        auto& context = guardianContext();
        const bool owned = markerExists();
        const auto reason = thermalReason(context, owned);
        if (!owned) {
            restore("manualRestore", true);
        } else if (context.pendingThermalStop || reason == "thermal") {
            safetyStop("thermal");
        } else {
            restore("manualRestore", true);
        }
    });
}

}  // namespace

void performVerb(const std::string& request, std::int64_t minutes, std::int64_t thermalLimit) {
    if (request == "start") {
        startSession(minutes, thermalLimit);
    } else if (request == "stop") {
        stopSession();
    } else if (request == "restore") {
        restoreNormalSleep();
    } else {
        throw GuardianError(refusal);
    }
}

Control::Control(std::uint32_t owner, std::string installLockPath)
    : ownerUID(owner), installLockPath_(std::move(installLockPath)) {}

void Control::perform(const std::string& request, std::int64_t minutes, std::int64_t thermalLimit,
                      TavrinWakeReply reply) {
    // Refused on the caller's thread, before any lock or queue is touched.
    const auto connection = XPCServerConnection::currentConnection();
    const bool acceptable = connection &&
                            WakeIPCContract::acceptsPeer(connection->effectiveUserIdentifier(), ownerUID) &&
                            WakeIPCContract::accepts(request, minutes, thermalLimit);
    if (!acceptable) {
        reply(false, refusal);
        return;
    }

    // The work waits its turn behind ticks and earlier requests.
    powerQueue().async([request, minutes, thermalLimit, reply = std::move(reply), lockPath = installLockPath_] {
        // Answerable during installation: it changes nothing.
        if (request == "ping") {
            reply(true, std::to_string(WakeIPCContract::version));
            return;
        }
        // Both locks are released before the answer goes out.
        std::exception_ptr failure;
        try {
            const InstallLockHold installLock(lockPath);
            performVerb(request, minutes, thermalLimit);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            reply(false, failureDescription(failure));
        } else {
            reply(true, "완료");
        }
    });
}
