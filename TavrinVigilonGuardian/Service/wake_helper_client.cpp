#include "Service/wake_helper_client.hpp"

#include "Engine/wake_power_policy.hpp"
#include "Service/xpc_endpoint.hpp"
#include "Engine/wake_ipc_contract.hpp"
#include "Engine/wake_ipc_error.hpp"
#include "Service/wake_ipc_reply.hpp"

#include <future>
#include <memory>

WakeHelperClient::WakeHelperClient()
    : WakeHelperClient(xpcServiceSocketPath(WakePowerPolicy::daemonLabel), replyTimeout) {}

WakeHelperClient::WakeHelperClient(std::string socketPath, std::chrono::milliseconds timeout)
    : socketPath_(std::move(socketPath)), timeout_(timeout) {}

std::string WakeHelperClient::request(const std::string& verb, std::int64_t minutes, WakeThermalLimit thermalLimit,
                                      const std::string& expectedHash) const {
    // Nothing the guardian would refuse is sent.
    if (!WakeIPCContract::accepts(verb, minutes, rawValue(thermalLimit))) {
        throw WakeIPCError("지원하지 않는 요청입니다.");
    }
    // The guardian's code, pinned before any connection is made.
    const std::string requirement = WakeIPCContract::requirement(expectedHash);

    // The caller waits for the one outcome.
    auto outcome = std::make_shared<std::promise<WakeIPCResult>>();
    auto delivered = outcome->get_future();
    std::shared_ptr<WakeIPCReply> reply;
    {
        // The connection, pinned to the expected guardian.
        auto connection =
            std::make_shared<XPCClientConnection>(WakePowerPolicy::daemonLabel, XPCConnectionPrivileged, socketPath_);
        connection->setCodeSigningRequirement(requirement);
        connection->setRemoteObjectInterface(tavrinWakeControlInterface());

        // The completion resumes the caller.
        reply = std::make_shared<WakeIPCReply>(
            connection, [outcome](WakeIPCResult result) { outcome->set_value(std::move(result)); });

        // Whichever of the outcomes comes first is the one the caller sees.
        connection->setInvalidationHandler(
            [reply] { reply->finish(wakeIPCFailure("도우미에 연결할 수 없습니다. 도우미를 다시 설치해 주세요.")); });
        connection->setInterruptionHandler(
            [reply] { reply->finish(wakeIPCFailure("도우미 연결이 중단되었습니다. 현재 상태를 확인해 주세요.")); });
        connection->resume();

        // The transport's own errors pass unchanged.
        const auto proxy = connection->remoteObjectProxyWithErrorHandler(
            [reply](const XPCError& error) { reply->finish(std::unexpected(std::make_exception_ptr(error))); });
        if (!proxy) {
            reply->finish(wakeIPCFailure("도우미 연결을 만들 수 없습니다."));
        } else {
            // The request.
            proxy->perform(verb, minutes, rawValue(thermalLimit), [reply](bool success, std::string message) {
                reply->finish(success ? WakeIPCResult(std::move(message)) : wakeIPCFailure(std::move(message)));
            });
        }
    }

    // The time-out, measured on the waiting caller's own thread: if it comes first, it is
    // the outcome; a reply arriving later finds the completion gone.
    if (delivered.wait_for(timeout_) != std::future_status::ready) {
        reply->finish(wakeIPCFailure("도우미 응답 시간이 초과되었습니다. 현재 잠자기 상태를 확인해 주세요."));
    }
    auto result = delivered.get();
    if (!result) std::rethrow_exception(result.error());
    return std::move(*result);
}
