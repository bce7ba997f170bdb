#pragma once

// Test-only: the daemon's power queue as a barrier, an install lock file, and a peer of a chosen
// user talking to a connection the way the endpoint delivers calls.

#include "Service/xpc_server_connection_linux.hpp"
#include "Service/xpc_socket_linux.hpp"
#include "Service/xpc_wire.hpp"
#include "Daemon/power_queue.hpp"
#include "Watcher/watcher_test_support.hpp"

#include <sys/socket.h>
#include <sys/stat.h>

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

// Runs `body` on the power queue and waits for it: the test thread then sees everything the
// queue did before, and the queue everything the test did.
template <typename Body>
void onPowerQueue(Body body) {
    std::promise<void> done;
    auto finished = done.get_future();
    powerQueue().async([&] {
        body();
        done.set_value();
    });
    finished.wait();
}

inline void drainPowerQueue() {
    onPowerQueue([] {});
}

// One connection as the endpoint hands it over, from a peer running as `uid`: exported object
// set and resumed by `admit`, then served. The test plays the peer on the other end.
class FakePeer {
public:
    FakePeer(std::uint32_t uid, const std::function<bool(const std::shared_ptr<XPCServerConnection>&)>& admit) {
        int ends[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) throw std::runtime_error("socketpair");
        mine_ = UniqueFd(ends[0]);
        const timeval patience{10, 0};
        ::setsockopt(mine_.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        connection = std::make_shared<XPCServerConnection>(
            std::make_unique<XPCServerConnection::Transport>(UniqueFd(ends[1]), uid));
        admitted = admit(connection) && admitPeer(connection, "", std::string(40, 'a'));
        if (!admitted) return;
        announcement = line();
        server_ = std::thread([served = connection] { serveCalls(served); });
    }
    ~FakePeer() {
        if (connection) connection->invalidate();
        if (server_.joinable()) server_.join();
    }

    // One call and its reply; none when the connection ended instead. The power queue is
    // drained on both sides of the call.
    std::optional<XPCReply> call(const std::string& verb, std::int64_t minutes = 0, std::int64_t limit = 1) {
        drainPowerQueue();
        if (!writeLine(mine_.get(), encodeRequest(XPCRequest{verb, minutes, limit}))) return std::nullopt;
        const auto reply = line();
        drainPowerQueue();
        if (!reply) return std::nullopt;
        return decodeReply(*reply);
    }

    std::shared_ptr<XPCServerConnection> connection;
    bool admitted = false;
    std::optional<std::string> announcement;

private:
    std::optional<std::string> line() {
        std::string text;
        if (readLine(mine_.get(), pending_, text) != LineEnd::line) return std::nullopt;
        return text;
    }

    UniqueFd mine_;
    std::string pending_;
    std::thread server_;
};

// The watcher's fake machine with a live heartbeat and an install lock file sound for a request.
class DaemonFixture : public WatcherFixture {
protected:
    void SetUp() override {
        WatcherFixture::SetUp();
        drainPowerQueue();
        writeHeartbeat(machine->uptime);
        installLockPath = dir / "install.lock";
        writeText(installLockPath, "");
        ::chmod(installLockPath.c_str(), 0600);
    }
    void TearDown() override { drainPowerQueue(); }

    std::string installLockPath;
};

inline bool isReply(const std::optional<XPCReply>& reply, bool ok, const std::string& message) {
    return reply && reply->ok == ok && reply->message == message;
}
