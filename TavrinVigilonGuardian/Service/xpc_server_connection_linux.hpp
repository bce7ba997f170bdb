#pragma once

#include "Service/xpc_server_connection.hpp"

#include "sys/unique_fd.hpp"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// The socket behind a server-side connection, and what the delegate set on it.
struct XPCServerConnection::Transport {
    Transport(UniqueFd connected, std::uint32_t uid) : peerUID(uid), socket(std::move(connected)) {}

    // Writes one line unless the connection has been invalidated; false when it did not go out.
    bool send(std::string_view line);

    const std::uint32_t peerUID;
    std::mutex mutex;  // guards everything below
    UniqueFd socket;   // shut down by invalidate, closed only with the connection
    bool invalid = false;
    bool resumed = false;
    std::string requirement;
    XPCInterface exportedInterface;
    std::shared_ptr<TavrinWakeControl> exportedObject;
};

// Called for a peer the delegate accepted, on the thread that will serve it: the peer must satisfy
// the listener's requirement (`listenerRequirement`, empty for none) and the connection's own,
// must not have written anything yet, and is then told this server's code hash. False when the
// peer was not let in; the caller then invalidates the connection.
//
// A request that arrived before the announcement was written before the peer could know whose
// service it reached, possibly by another program that then made way for the checked one (a
// process may write and then replace itself by the pinned program): such a peer is refused.
bool admitPeer(const std::shared_ptr<XPCServerConnection>& connection, const std::string& listenerRequirement,
               const std::string& ownCodeHash);

// Delivers the admitted peer's calls, one line each, until the peer hangs up, sends something
// that is not a call, or the connection is invalidated; then invalidates it. Blocks the caller.
void serveCalls(const std::shared_ptr<XPCServerConnection>& connection);
