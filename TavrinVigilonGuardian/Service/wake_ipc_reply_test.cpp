#include "Engine/wake_ipc_error.hpp"
#include "Service/wake_ipc_reply.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::string messageOf(const WakeIPCResult& result) {
    if (result) return *result;
    try {
        std::rethrow_exception(result.error());
    } catch (const WakeIPCError& error) {
        return "error: " + error.message;
    }
}

// One request's worth of callbacks wired the way the client wires them: the connection's own
// invalidation handler also finishes the reply.
struct Request {
    Request() {
        connection->setRemoteObjectInterface(tavrinWakeControlInterface());
        connection->setInvalidationHandler([this] {
            ++invalidations;
            reply->finish(wakeIPCFailure("invalidated"));
        });
    }
    std::shared_ptr<XPCClientConnection> connection =
        std::make_shared<XPCClientConnection>("app.tavrin.vigilon.guardian", 0, "/nonexistent/guardian.sock");
    std::atomic<int> invalidations{0};
    std::atomic<int> completions{0};
    std::atomic<bool> invalidatedBeforeCompletion{false};
    std::string delivered;
    std::shared_ptr<WakeIPCReply> reply = std::make_shared<WakeIPCReply>(connection, [this](WakeIPCResult result) {
        // A call on an invalidated connection fails at once; on a live one it would wait.
        connection->remoteObjectProxyWithErrorHandler([this](const XPCError&) { invalidatedBeforeCompletion = true; })
            ->perform("ping", 0, 1, [](bool, std::string) {});
        ++completions;
        delivered = messageOf(result);
    });
};

TEST(WakeIPCReply, FirstOutcomeWinsAndLaterOnesAreIgnored) {
    Request request;
    request.reply->finish(wakeIPCFailure("timed out"));
    request.reply->finish(WakeIPCResult("3"));
    request.connection->invalidate();
    EXPECT_EQ(request.completions, 1);
    EXPECT_EQ(request.delivered, "error: timed out");
    EXPECT_TRUE(request.invalidatedBeforeCompletion);
    EXPECT_EQ(request.invalidations, 1);
}

TEST(WakeIPCReply, ConcurrentFinishesDeliverExactlyOneOutcome) {
    constexpr int kRounds = 200;
    constexpr int kThreads = 8;
    for (int round = 0; round < kRounds; ++round) {
        Request request;
        std::atomic<bool> go{false};
        std::vector<std::thread> callers;
        for (int i = 0; i < kThreads; ++i) {
            callers.emplace_back([&, i] {
                while (!go) std::this_thread::yield();
                if (i % 2 == 0)
                    request.reply->finish(WakeIPCResult("reply " + std::to_string(i)));
                else
                    request.reply->finish(wakeIPCFailure("failure " + std::to_string(i)));
                if (i == 1) request.connection->invalidate();
            });
        }
        go = true;
        for (auto& caller : callers) caller.join();
        ASSERT_EQ(request.completions, 1) << "round " << round;
        ASSERT_EQ(request.invalidations, 1) << "round " << round;
        ASSERT_TRUE(request.invalidatedBeforeCompletion) << "round " << round;
    }
}

}  // namespace
