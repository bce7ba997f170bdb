#pragma once

#include "xpc_server_connection.hpp"

#include "sys/unique_fd.hpp"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// The socket behind a server-side connection, and what the delegate set on it.
struct XPCServerConnection::Transport {
    Transport(UniqueFd connected, std::uint32_t uid, std::string verified = {})
        : peerUID(uid), verifiedRequirement(std::move(verified)), socket(std::move(connected)) {}

    // Writes one line unless the connection has been invalidated; false when it did not go out.
    bool send(std::string_view line);

    const std::uint32_t peerUID;
    // The requirement the listener has already checked the peer against while admitting it;
    // the same text set on the connection need not hash the peer's program a second time.
    const std::string verifiedRequirement;
    std::mutex mutex;  // guards everything below
    UniqueFd socket;   // shut down by invalidate, closed only with the connection
    bool invalid = false;
    bool resumed = false;
    std::string requirement;
    XPCInterface exportedInterface;
    std::shared_ptr<TavrinWakeControl> exportedObject;
};

// Called by the listener for a peer its delegate accepted: applies the connection's own code
// requirement, announces this server's code hash, then delivers the peer's calls on a thread of
// its own. False when the peer was not let in; the caller then invalidates the connection.
bool startServing(const std::shared_ptr<XPCServerConnection>& connection, const std::string& ownCodeHash);
