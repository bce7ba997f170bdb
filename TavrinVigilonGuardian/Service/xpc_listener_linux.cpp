#include "Service/xpc_listener.hpp"

#include "sys/executable_hash.hpp"
#include "sys/peer_identity.hpp"
#include "Engine/wake_ipc_error.hpp"
#include "Service/xpc_endpoint.hpp"
#include "Service/xpc_server_connection_linux.hpp"
#include "Service/xpc_socket_linux.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <list>
#include <system_error>
#include <thread>

namespace {

// How long a write to a peer may wait for it to read.
constexpr time_t kSendTimeoutSeconds = 2;
// Connections being judged or served at once, of users the delegate may accept. Each has a
// thread; a peer that opens more is turned away rather than allowed to exhaust the daemon.
constexpr std::size_t kMaxConnections = 32;

}  // namespace

struct XPCListener::Endpoint {
    // One accepted peer and the thread that judges and then serves it.
    struct Peer {
        std::shared_ptr<XPCServerConnection> connection;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    XPCListener* owner = nullptr;
    std::string path;
    std::string ownCodeHash;  // what every admitted peer is told this server runs
    UniqueFd socket;
    ino_t socketInode = 0;  // the file bound, so that only it is ever removed
    UniqueFd stop;          // an eventfd: readable once the listener is invalidated
    std::string requirement;
    std::shared_ptr<XPCListenerDelegate> delegate;
    std::thread acceptor;
    bool closed = false;  // no longer accepting
    bool invalidated = false;
    std::list<Peer> peers;  // only the acceptor adds or reaps; invalidate ends them after it

    void acceptConnections();
    void welcome(UniqueFd peer);
    void judgeAndServe(const std::shared_ptr<XPCServerConnection>& connection);
    void reapFinished();
    void close();
    void endPeers();
};

void XPCListener::Endpoint::acceptConnections() {
    for (;;) {
        pollfd waiting[2] = {{socket.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (waiting[1].revents != 0) return;
        UniqueFd peer(::accept4(socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!peer) continue;
        const timeval sendLimit{kSendTimeoutSeconds, 0};
        ::setsockopt(peer.get(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        reapFinished();
        welcome(std::move(peer));
    }
}

// Every peer is judged on a thread of its own, so one whose program takes long to check holds up
// nobody else: the owner is answered at once while another peer is still being judged. A peer
// of a user the delegate never accepts is turned away here, before it gets a thread or counts
// against the limit, so that no other user's flood of connections can crowd the owner out.
void XPCListener::Endpoint::welcome(UniqueFd peer) {
    const auto uid = peer_effective_uid(peer.get());
    if (!uid || !delegate || !delegate->mayAcceptUser(*uid)) return;
    if (peers.size() >= kMaxConnections) return;
    auto connection =
        std::make_shared<XPCServerConnection>(std::make_unique<XPCServerConnection::Transport>(std::move(peer), *uid));
    auto& entry = peers.emplace_back();
    entry.connection = connection;
    try {
        entry.thread = std::thread([this, connection, &entry] {
            judgeAndServe(connection);
            entry.finished = true;
        });
    } catch (const std::system_error&) {
        // No thread to be had: the peer is turned away like one over the limit, rather than the
        // failure ending the acceptor and with it the daemon.
        peers.pop_back();
    }
}

// Every way out before admitPeer succeeds closes the peer's socket without a byte written. The
// delegate decides first: it only compares the peer's user id, so another user's process is
// refused before anything costly is done about it.
void XPCListener::Endpoint::judgeAndServe(const std::shared_ptr<XPCServerConnection>& connection) {
    bool accepted = false;
    try {
        accepted = delegate && delegate->shouldAcceptNewConnection(*owner, connection);
    } catch (...) {
        accepted = false;
    }
    if (!accepted || !admitPeer(connection, requirement, ownCodeHash)) {
        connection->invalidate();
        return;
    }
    serveCalls(connection);
}

void XPCListener::Endpoint::reapFinished() {
    for (auto it = peers.begin(); it != peers.end();) {
        if (!it->finished) {
            ++it;
            continue;
        }
        it->thread.join();
        it = peers.erase(it);
    }
}

// Once the acceptor has ended, nobody else touches the list of peers.
void XPCListener::Endpoint::close() {
    if (closed) return;
    closed = true;
    const std::uint64_t one = 1;
    (void)!::write(stop.get(), &one, sizeof one);
    if (acceptor.joinable()) acceptor.join();
    socket.reset();
    // A later daemon may already have bound its own socket at the path.
    struct stat current {};
    if (::lstat(path.c_str(), &current) == 0 && S_ISSOCK(current.st_mode) && current.st_ino == socketInode) {
        ::unlink(path.c_str());
    }
}

// A peer's thread may be waiting for its next call or for a reply to go out; ending the
// connection wakes it, and it finishes promptly.
void XPCListener::Endpoint::endPeers() {
    for (auto& peer : peers) {
        peer.connection->invalidate();
        peer.thread.join();
    }
    peers.clear();
}

XPCListener::XPCListener(const std::string& machServiceName)
    : XPCListener(machServiceName, xpcServiceSocketPath(machServiceName)) {}

XPCListener::XPCListener(const std::string&, const std::string& socketPath) : endpoint_(std::make_unique<Endpoint>()) {
    endpoint_->owner = this;
    endpoint_->path = socketPath;
    const auto ownHash = code_hash_of_file("/proc/self/exe");
    if (!ownHash) throw WakeIPCError("실행 중인 앱의 서명을 확인할 수 없습니다.");
    endpoint_->ownCodeHash = *ownHash;
    endpoint_->stop = UniqueFd(::eventfd(0, EFD_CLOEXEC));
    if (!endpoint_->stop) throw WakeIPCError("Cannot open the service socket " + socketPath + ".");
    endpoint_->socket = listenAt(socketPath);
    struct stat bound {};
    if (::lstat(socketPath.c_str(), &bound) == 0) endpoint_->socketInode = bound.st_ino;
}

XPCListener::~XPCListener() { invalidate(); }

void XPCListener::setConnectionCodeSigningRequirement(std::string requirement) {
    endpoint_->requirement = std::move(requirement);
}

void XPCListener::setDelegate(std::shared_ptr<XPCListenerDelegate> delegate) {
    endpoint_->delegate = std::move(delegate);
}

void XPCListener::resume() {
    if (endpoint_->closed || endpoint_->acceptor.joinable()) return;
    endpoint_->acceptor = std::thread([endpoint = endpoint_.get()] { endpoint->acceptConnections(); });
}

void XPCListener::stopAccepting() { endpoint_->close(); }

void XPCListener::invalidate() {
    auto& endpoint = *endpoint_;
    if (endpoint.invalidated) return;
    endpoint.invalidated = true;
    endpoint.close();
    endpoint.endPeers();
}
