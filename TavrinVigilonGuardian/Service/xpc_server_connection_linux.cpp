#include "Service/xpc_server_connection_linux.hpp"

#include "sys/peer_judgement.hpp"
#include "Service/xpc_socket_linux.hpp"
#include "Service/xpc_wire.hpp"

#include <sys/socket.h>

#include <atomic>
#include <cerrno>

namespace {

thread_local std::shared_ptr<XPCServerConnection> deliveringConnection;

// Marks the connection whose call this thread delivers, for as long as the call lasts.
class CurrentCall {
public:
    explicit CurrentCall(std::shared_ptr<XPCServerConnection> connection) {
        deliveringConnection = std::move(connection);
    }
    ~CurrentCall() { deliveringConnection.reset(); }
    CurrentCall(const CurrentCall&) = delete;
    CurrentCall& operator=(const CurrentCall&) = delete;
};

// The reply block of one call: only its first use counts, and a connection that has gone in the
// meantime simply does not get the answer.
TavrinWakeReply replyFor(const std::shared_ptr<XPCServerConnection>& connection) {
    auto answered = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<XPCServerConnection> target = connection;
    return [target, answered](bool success, std::string message) {
        if (answered->exchange(true)) return;
        if (const auto live = target.lock()) {
            (void)live->transport().send(encodeReply(XPCReply{success, std::move(message)}));
        }
    };
}

// The object calls go to, or nothing when the connection no longer delivers any.
std::shared_ptr<TavrinWakeControl> receiver(XPCServerConnection::Transport& transport) {
    const std::lock_guard lock(transport.mutex);
    if (transport.invalid || transport.exportedInterface != tavrinWakeControlInterface()) return nullptr;
    return transport.exportedObject;
}

// Whether the peer has sent nothing at all so far (and is still there).
bool peerSilent(int socket) {
    char byte = 0;
    const ssize_t n = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace

// Calls arrive one line each; anything that is not a call ends the connection, as does the peer
// hanging up or a call that throws.
void serveCalls(const std::shared_ptr<XPCServerConnection>& connection) {
    auto& transport = connection->transport();
    const int socket = transport.socket.get();
    std::string pending;
    std::string line;
    while (readLine(socket, pending, line) == LineEnd::line) {
        const auto request = decodeRequest(line);
        if (!request) break;
        const auto object = receiver(transport);
        if (!object) break;
        try {
            const CurrentCall call(connection);
            object->perform(request->verb, request->minutes, request->thermalLimit, replyFor(connection));
        } catch (...) {
            break;
        }
    }
    connection->invalidate();
}

bool XPCServerConnection::Transport::send(std::string_view line) {
    const std::lock_guard lock(mutex);
    if (invalid) return false;
    if (writeLine(socket.get(), line)) return true;
    // A peer that stopped reading holds up whoever answers it (the daemon's work queue) for at
    // most one send time-out; after that it is cut off.
    invalid = true;
    ::shutdown(socket.get(), SHUT_RDWR);
    return false;
}

bool admitPeer(const std::shared_ptr<XPCServerConnection>& connection, const std::string& listenerRequirement,
               const std::string& ownCodeHash) {
    auto& transport = connection->transport();
    std::string requirement;
    {
        const std::lock_guard lock(transport.mutex);
        if (transport.invalid || !transport.resumed) return false;
        requirement = transport.requirement;
    }
    const int socket = transport.socket.get();
    // The costly part comes last, once the peer's user has been accepted: a peer of another user
    // never gets its program hashed. The same requirement twice is checked once. A check that
    // overruns its deadline refuses the peer at once, so a program on a file system that stopped
    // answering holds neither this thread nor the peer's place among the connections.
    const auto satisfied = [socket](const std::string& text) {
        return peer_code_within(socket, text) == PeerCode::satisfies;
    };
    if (!listenerRequirement.empty() && !satisfied(listenerRequirement)) return false;
    if (!requirement.empty() && requirement != listenerRequirement && !satisfied(requirement)) return false;
    if (!peerSilent(socket)) return false;
    // The peer learns who serves it only once it has been let in.
    return transport.send(encodeAnnouncement(ownCodeHash));
}

XPCServerConnection::XPCServerConnection(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {}

XPCServerConnection::~XPCServerConnection() = default;

std::uint32_t XPCServerConnection::effectiveUserIdentifier() const { return transport_->peerUID; }

void XPCServerConnection::setCodeSigningRequirement(std::string requirement) {
    const std::lock_guard lock(transport_->mutex);
    transport_->requirement = std::move(requirement);
}

void XPCServerConnection::setExportedInterface(XPCInterface interface) {
    const std::lock_guard lock(transport_->mutex);
    transport_->exportedInterface = std::move(interface);
}

void XPCServerConnection::setExportedObject(std::shared_ptr<TavrinWakeControl> object) {
    const std::lock_guard lock(transport_->mutex);
    transport_->exportedObject = std::move(object);
}

void XPCServerConnection::resume() {
    const std::lock_guard lock(transport_->mutex);
    transport_->resumed = true;
}

void XPCServerConnection::invalidate() {
    const std::lock_guard lock(transport_->mutex);
    if (transport_->invalid) return;
    transport_->invalid = true;
    transport_->exportedObject.reset();
    // Wakes the thread waiting for the peer's next call; the descriptor itself stays open until
    // nobody can use it any more.
    ::shutdown(transport_->socket.get(), SHUT_RDWR);
}

std::shared_ptr<XPCServerConnection> XPCServerConnection::currentConnection() { return deliveringConnection; }
