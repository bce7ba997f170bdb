#include "xpc_listener.hpp"

#include "sys/code_hash.hpp"
#include "sys/peer_identity.hpp"
#include "wake_ipc_error.hpp"
#include "xpc_endpoint.hpp"
#include "xpc_server_connection_linux.hpp"
#include "xpc_socket_linux.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

namespace {

// How long a write to a peer may wait for it to read.
constexpr time_t kSendTimeoutSeconds = 2;

}  // namespace

struct XPCListener::Endpoint {
    XPCListener* owner = nullptr;
    std::string path;
    std::string ownCodeHash;  // what every admitted peer is told this server runs
    UniqueFd socket;
    ino_t socketInode = 0;    // the file bound, so that only it is ever removed
    UniqueFd stop;            // an eventfd: readable once the listener is invalidated
    std::string requirement;
    std::shared_ptr<XPCListenerDelegate> delegate;
    std::thread acceptor;
    bool invalidated = false;

    void acceptConnections();
    void admit(UniqueFd peer);
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
        admit(std::move(peer));
    }
}

// Every way out before startServing closes the peer's socket without a byte written.
void XPCListener::Endpoint::admit(UniqueFd peer) {
    // 1. Who is calling.
    const auto uid = peer_effective_uid(peer.get());
    if (!uid) return;

    // 2. Code the listener turns away never reaches the delegate.
    if (!requirement.empty() && !peer_code_satisfies(peer.get(), requirement)) return;

    // 3. The delegate decides and prepares the connection; then the connection's own
    // requirement applies and the peer is served.
    const auto connection =
        std::make_shared<XPCServerConnection>(std::make_unique<XPCServerConnection::Transport>(std::move(peer), *uid, requirement));
    bool accepted = false;
    try {
        accepted = delegate && delegate->shouldAcceptNewConnection(*owner, connection);
    } catch (...) {
        accepted = false;
    }
    if (!accepted || !startServing(connection, ownCodeHash)) connection->invalidate();
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
    if (endpoint_->invalidated || endpoint_->acceptor.joinable()) return;
    endpoint_->acceptor = std::thread([endpoint = endpoint_.get()] { endpoint->acceptConnections(); });
}

void XPCListener::invalidate() {
    auto& endpoint = *endpoint_;
    if (endpoint.invalidated) return;
    endpoint.invalidated = true;
    const std::uint64_t one = 1;
    (void)!::write(endpoint.stop.get(), &one, sizeof one);
    if (endpoint.acceptor.joinable()) endpoint.acceptor.join();
    endpoint.socket.reset();
    // A later daemon may already have bound its own socket at the path.
    struct stat current {};
    if (::lstat(endpoint.path.c_str(), &current) == 0 && S_ISSOCK(current.st_mode) &&
        current.st_ino == endpoint.socketInode) {
        ::unlink(endpoint.path.c_str());
    }
}
