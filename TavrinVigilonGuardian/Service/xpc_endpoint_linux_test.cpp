#include "Engine/wake_ipc_contract.hpp"
#include "Engine/wake_ipc_error.hpp"
#include "Service/xpc_socket_linux.hpp"
#include "Service/xpc_test_support.hpp"
#include "Service/xpc_server_connection_linux.hpp"
#include "Service/xpc_wire.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <optional>

namespace {

const std::string kOtherHash(40, '0');

// A client that speaks the wire format by hand, to see exactly which bytes the server sends.
struct RawPeer {
    explicit RawPeer(const std::string& path) : socket(connectTo(path)) {
        const timeval patience{10, 0};
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    }
    std::optional<std::string> line() {
        std::string text;
        if (readLine(socket.get(), pending, text) != LineEnd::line) return std::nullopt;
        return text;
    }
    bool closedWithoutAByte() {
        char byte = 0;
        return pending.empty() && ::recv(socket.get(), &byte, 1, 0) == 0;
    }
    UniqueFd socket;
    std::string pending;
};

struct Endpoint {
    explicit Endpoint(CallbackDelegate::Decide decide, CallbackDelegate::User user = {})
        : delegate(std::make_shared<CallbackDelegate>(std::move(decide), std::move(user))) {
        listener.setDelegate(delegate);
    }
    ServiceFolder folder;
    XPCListener listener{"app.tavrin.vigilon.guardian", folder.socketPath()};
    std::shared_ptr<CallbackDelegate> delegate;
};

std::shared_ptr<CallbackControl> echoControl() {
    return std::make_shared<CallbackControl>(
        [](const std::string& verb, std::int64_t minutes, std::int64_t limit, TavrinWakeReply reply) {
            reply(true, verb + " " + std::to_string(minutes) + " " + std::to_string(limit));
        });
}

TEST(XPCEndpoint, AcceptedPeerHearsTheServerFirstThenOneReplyPerCall) {
    const auto control = std::make_shared<CallbackControl>(
        [](const std::string& verb, std::int64_t, std::int64_t, TavrinWakeReply reply) {
            // A second answer to the same call must never reach the peer.
            reply(true, verb + "#1");
            reply(true, verb + "#2");
        });
    Endpoint endpoint([&](const auto& connection) { return exportTo(connection, control); });
    endpoint.listener.resume();

    RawPeer peer(endpoint.folder.socketPath());
    EXPECT_EQ(peer.line(), encodeAnnouncement(ownCodeHash()));
    for (const char* verb : {"a", "b"}) {
        ASSERT_TRUE(writeLine(peer.socket.get(), encodeRequest({verb, 0, 1})));
        EXPECT_EQ(peer.line(), encodeReply({true, std::string(verb) + "#1"}));
    }
    EXPECT_EQ(control->calls, 2);
}

TEST(XPCEndpoint, RefusedPeersAreClosedWithoutAByte) {
    // By the delegate.
    {
        Endpoint endpoint([](const auto&) { return false; });
        endpoint.listener.resume();
        RawPeer peer(endpoint.folder.socketPath());
        EXPECT_TRUE(peer.closedWithoutAByte());
        EXPECT_EQ(endpoint.delegate->asked, 1);
    }
    // By the connection's own requirement: the delegate said yes, the code does not match.
    {
        const auto control = echoControl();
        Endpoint endpoint([&](const auto& connection) {
            return exportTo(connection, control, WakeIPCContract::requirement(kOtherHash));
        });
        endpoint.listener.resume();
        RawPeer peer(endpoint.folder.socketPath());
        EXPECT_TRUE(peer.closedWithoutAByte());
        EXPECT_EQ(control->calls, 0);
    }
    // By the listener's requirement, whatever the delegate said about the peer's user.
    {
        const auto control = echoControl();
        Endpoint endpoint([&](const auto& connection) { return exportTo(connection, control); });
        endpoint.listener.setConnectionCodeSigningRequirement(WakeIPCContract::requirement(kOtherHash));
        endpoint.listener.resume();
        RawPeer peer(endpoint.folder.socketPath());
        EXPECT_TRUE(peer.closedWithoutAByte());
        EXPECT_EQ(control->calls, 0);
    }
    // A delegate that accepts without resuming leaves the peer nothing to talk to.
    {
        Endpoint endpoint([](const auto& connection) {
            connection->setExportedInterface(tavrinWakeControlInterface());
            return true;
        });
        endpoint.listener.resume();
        RawPeer peer(endpoint.folder.socketPath());
        EXPECT_TRUE(peer.closedWithoutAByte());
    }
}

TEST(XPCEndpoint, MatchingRequirementsLetThePeerIn) {
    Endpoint endpoint([&](const auto& connection) {
        return exportTo(connection, echoControl(), WakeIPCContract::requirement(ownCodeHash()));
    });
    endpoint.listener.setConnectionCodeSigningRequirement(WakeIPCContract::requirement(ownCodeHash()));
    endpoint.listener.resume();
    RawPeer peer(endpoint.folder.socketPath());
    EXPECT_EQ(peer.line(), encodeAnnouncement(ownCodeHash()));
}

// Connects from a child running as `uid`; 0 when it heard the announcement, 1 when it was closed
// without a byte, 2 for anything else.
int connectAs(uid_t uid, const std::string& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(3);
        RawPeer peer(path);
        if (!peer.socket) ::_exit(4);
        char first = 0;
        const ssize_t n = ::recv(peer.socket.get(), &first, 1, 0);
        ::_exit(n == 0 ? 1 : (n == 1 && first == '{') ? 0 : 2);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(XPCEndpoint, OnlyTheOwnersProcessesAreLetIn) {
    std::atomic<std::uint32_t> seen{0};
    Endpoint endpoint([&](const auto& connection) {
        seen = connection->effectiveUserIdentifier();
        if (!WakeIPCContract::acceptsPeer(connection->effectiveUserIdentifier(), 501)) return false;
        return exportTo(connection, echoControl());
    });
    endpoint.listener.resume();

    EXPECT_EQ(connectAs(501, endpoint.folder.socketPath()), 0);
    EXPECT_EQ(seen, 501u);
    EXPECT_EQ(connectAs(502, endpoint.folder.socketPath()), 1);
    EXPECT_EQ(seen, 502u);
    // Root is never an owner.
    RawPeer root(endpoint.folder.socketPath());
    EXPECT_TRUE(root.closedWithoutAByte());
}

// The delegate's word on the peer's user comes before anything is done about its program: a
// peer it turns away is never hashed.
TEST(XPCEndpoint, APeerTheDelegateRefusesIsNeverHashed) {
    const PeerCodeCheckStandIn standIn;
    Endpoint endpoint([](const auto& connection) {
        return connection->effectiveUserIdentifier() == 501 && exportTo(connection, echoControl());
    });
    endpoint.listener.setConnectionCodeSigningRequirement(WakeIPCContract::requirement(ownCodeHash()));
    endpoint.listener.resume();
    EXPECT_EQ(connectAs(502, endpoint.folder.socketPath()), 1);
    EXPECT_EQ(standIn.checks, 0);
    EXPECT_EQ(connectAs(501, endpoint.folder.socketPath()), 0);
    EXPECT_EQ(standIn.checks, 1);
}

// Another user's flood of connections, each of which the delegate would take as long as it likes
// over, cannot crowd the owner out: that user's peers are turned away on arrival, without a
// thread, and never count against the limit of connections.
TEST(XPCEndpoint, AnotherUsersFloodLeavesTheOwnerItsPlace) {
    constexpr int connectionLimit = 32;
    std::promise<void> release;
    const auto released = release.get_future().share();
    Endpoint endpoint(
        [&](const auto& connection) {
            if (connection->effectiveUserIdentifier() == 502) released.wait();
            return exportTo(connection, echoControl());
        },
        [](std::uint32_t uid) { return uid != 502; });
    endpoint.listener.resume();

    int ready[2];
    int hold[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(hold), 0);
    const pid_t flood = ::fork();
    if (flood == 0) {
        ::close(ready[0]);
        ::close(hold[1]);
        if (::setresgid(502, 502, 502) != 0 || ::setresuid(502, 502, 502) != 0) ::_exit(3);
        std::vector<UniqueFd> connections;
        for (int i = 0; i < connectionLimit; ++i) connections.push_back(connectTo(endpoint.folder.socketPath()));
        (void)!::write(ready[1], "r", 1);
        char byte = 0;
        (void)!::read(hold[0], &byte, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    // Accepted after the whole flood, in the order the connections arrived.
    RawPeer owner(endpoint.folder.socketPath());
    EXPECT_EQ(owner.line(), encodeAnnouncement(ownCodeHash()));
    EXPECT_EQ(endpoint.delegate->asked, 1);

    release.set_value();
    ::close(hold[1]);
    ::close(ready[0]);
    ::waitpid(flood, nullptr, 0);
}

// A peer whose program cannot be read in time (its file system stopped answering) is refused at
// the deadline while its check is still stuck: it keeps no thread and no place among the
// connections, and the next peer is judged as usual.
TEST(XPCEndpoint, AStuckCodeCheckRefusesItsPeerAtTheDeadline) {
    PeerCodeCheckStandIn standIn;
    Endpoint endpoint([](const auto& connection) { return exportTo(connection, echoControl()); });
    endpoint.listener.setConnectionCodeSigningRequirement(WakeIPCContract::requirement(ownCodeHash()));
    endpoint.listener.resume();

    standIn.stall();
    RawPeer stuck(endpoint.folder.socketPath());
    EXPECT_TRUE(stuck.closedWithoutAByte());
    EXPECT_EQ(judgements_under_way(), 1) << "its check is still stuck when the peer is refused";
    standIn.release();

    RawPeer next(endpoint.folder.socketPath());
    EXPECT_EQ(next.line(), encodeAnnouncement(ownCodeHash()));
}

// Whoever answers a peer that stopped reading (the daemon's power queue) is held for one send
// time-out at most; then the peer is cut off, and what it had been sent ends there.
TEST(XPCServerConnection, APeerThatStopsReadingIsCutOffAfterOneSendTimeOut) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const UniqueFd peer(ends[0]);
    const timeval sendLimit{0, 20'000};
    ::setsockopt(ends[1], SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    XPCServerConnection connection(std::make_unique<XPCServerConnection::Transport>(UniqueFd(ends[1]), 501));

    const std::string reply(1000, 'x');
    int sent = 0;
    while (connection.transport().send(reply)) ++sent;
    EXPECT_GT(sent, 0);
    EXPECT_FALSE(connection.transport().send(reply));

    const timeval patience{2, 0};
    ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    char block[4096];
    ssize_t n = 0;
    while ((n = ::recv(peer.get(), block, sizeof block, 0)) > 0) {
    }
    EXPECT_EQ(n, 0) << "still connected: the peer was never cut off";
}

TEST(XPCEndpoint, CurrentConnectionIsTheCallersDuringACallOnly) {
    std::shared_ptr<XPCServerConnection> accepted;
    std::atomic<bool> sameConnection{false};
    const auto control =
        std::make_shared<CallbackControl>([&](const std::string&, std::int64_t, std::int64_t, TavrinWakeReply reply) {
            const auto current = XPCServerConnection::currentConnection();
            sameConnection = current && current == accepted && current->effectiveUserIdentifier() == 0;
            reply(true, "");
        });
    Endpoint endpoint([&](const auto& connection) {
        accepted = connection;
        return exportTo(connection, control);
    });
    endpoint.listener.resume();

    RawPeer peer(endpoint.folder.socketPath());
    ASSERT_TRUE(peer.line());
    ASSERT_TRUE(writeLine(peer.socket.get(), encodeRequest({"ping", 0, 1})));
    ASSERT_TRUE(peer.line());
    EXPECT_TRUE(sameConnection);
    EXPECT_EQ(XPCServerConnection::currentConnection(), nullptr);
}

TEST(XPCEndpoint, WhatIsNotACallEndsTheConnection) {
    for (const std::string& bad :
         std::initializer_list<std::string>{"not json", "{\"verb\":\"ping\",\"minutes\":0}",
                                            "{\"verb\":\"ping\",\"minutes\":0.0,\"thermalLimit\":1}"}) {
        const auto control = echoControl();
        Endpoint endpoint([&](const auto& connection) { return exportTo(connection, control); });
        endpoint.listener.resume();
        RawPeer peer(endpoint.folder.socketPath());
        ASSERT_TRUE(peer.line());
        ASSERT_TRUE(writeLine(peer.socket.get(), bad));
        EXPECT_FALSE(peer.line()) << bad;
        EXPECT_EQ(control->calls, 0) << bad;
    }
}

TEST(XPCEndpoint, BytesSentBeforeTheAnnouncementAreRefused) {
    // The delegate holds the peer until it has written: its request then predates the check of
    // its code, so it may come from a program that has since made way for the checked one.
    std::promise<void> written;
    auto writtenFuture = written.get_future().share();
    const auto control = echoControl();
    Endpoint endpoint([&](const auto& connection) {
        writtenFuture.wait();
        return exportTo(connection, control);
    });
    endpoint.listener.resume();
    RawPeer peer(endpoint.folder.socketPath());
    EXPECT_TRUE(writeLine(peer.socket.get(), encodeRequest({"ping", 0, 1})));
    written.set_value();
    EXPECT_TRUE(peer.closedWithoutAByte());
    EXPECT_EQ(control->calls, 0);
}

TEST(XPCEndpoint, ALineLongerThanAnyCallEndsTheConnection) {
    const auto control = echoControl();
    Endpoint endpoint([&](const auto& connection) { return exportTo(connection, control); });
    endpoint.listener.resume();
    RawPeer peer(endpoint.folder.socketPath());
    ASSERT_TRUE(peer.line());
    const std::string endless(xpcLineLimit + 1, 'x');
    ASSERT_EQ(::send(peer.socket.get(), endless.data(), endless.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(endless.size()));
    // Closed by the server, not merely silent until the peer gives up waiting.
    EXPECT_TRUE(peer.closedWithoutAByte());
    EXPECT_EQ(control->calls, 0);
}

TEST(XPCEndpoint, APeerStillBeingJudgedHoldsUpNobodyElse) {
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> arrivals{0};
    const auto control = echoControl();
    Endpoint endpoint([&](const auto& connection) {
        // The first peer takes as long as the test wants; the second is judged meanwhile.
        if (arrivals++ == 0) {
            entered.set_value();
            released.wait();
        }
        return exportTo(connection, control);
    });
    endpoint.listener.resume();
    RawPeer slow(endpoint.folder.socketPath());
    entered.get_future().wait();
    RawPeer owner(endpoint.folder.socketPath());
    EXPECT_EQ(owner.line(), encodeAnnouncement(ownCodeHash()));
    EXPECT_TRUE(writeLine(owner.socket.get(), encodeRequest({"stop", 0, 1})));
    EXPECT_EQ(owner.line(), encodeReply({true, "stop 0 1"}));
    release.set_value();
    EXPECT_EQ(slow.line(), encodeAnnouncement(ownCodeHash()));
}

TEST(XPCEndpoint, OnlyASocketIsReplacedAtTheEndpointPath) {
    ServiceFolder folder;
    const std::string path = folder.socketPath();
    // A daemon that died leaves its socket behind; the next one takes the path over.
    {
        const UniqueFd dead(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(dead.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    {
        XPCListener listener("app.tavrin.vigilon.guardian", path);
        struct stat status {};
        ASSERT_EQ(::lstat(path.c_str(), &status), 0);
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
        EXPECT_EQ(status.st_mode & 0777, 0666u);
    }
    EXPECT_FALSE(exists(path));
    // Anything else is not the listener's to remove.
    writeText(path, "data");
    EXPECT_THROW(XPCListener("app.tavrin.vigilon.guardian", path), WakeIPCError);
    EXPECT_EQ(readText(path), "data");
}

}  // namespace
