#include "smc/smc_port_linux.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <map>
#include <memory>
#include <utility>

#include "sys/clock.hpp"
#include "sys/local_socket.hpp"
#include "sys/peer_identity.hpp"
#include "sys/trusted_file.hpp"
#include "sys/unique_fd.hpp"

namespace {

constexpr std::uint32_t kServiceHandle = 1;
// Long enough for any honest device, short enough that a hung one cannot stall the helper.
constexpr time_t kTimeoutSeconds = 5;

class SocketSmcPort {
public:
    SocketSmcPort(std::string path, uid_t owner, double reconnect_pause)
        : path_(std::move(path)), owner_(owner), reconnect_pause_(reconnect_pause) {}

    std::uint32_t find_service() { return trusted_socket(path_, owner_) ? kServiceHandle : 0; }

    std::uint32_t open_service(std::uint32_t service, std::uint32_t& connection) {
        if (service != kServiceHandle) return smc_return::kNoDevice;
        Link link;
        if (const std::uint32_t code = connect_device(link.fd); code != smc_return::kSuccess) return code;
        connection = next_connection_++;
        connections_.emplace(connection, std::move(link));
        return smc_return::kSuccess;
    }

    // The lookup holds nothing on this platform.
    void release_service(std::uint32_t) {}

    std::uint32_t call_struct(std::uint32_t connection, std::uint32_t selector, const SmcRecord& input,
                              SmcRecord& output, std::size_t& output_size) {
        const auto found = connections_.find(connection);
        if (found == connections_.end()) return smc_return::kNotOpen;
        if (selector != smc_record::kSelector || output_size < smc_record::kSize) return smc_return::kError;
        Link& link = found->second;
        // A connection that failed mid-record is out of step with the device; reading on would
        // pair requests with the wrong answers. A fresh one is in step, and without it a device
        // that recovers could never be told to hand the fans back.
        if (!link.fd && !reconnect(link)) return smc_return::kNotResponding;
        UniqueFd& fd = link.fd;

        const Transfer sent =
            send_all(fd.get(), std::string_view(reinterpret_cast<const char*>(input.data()), input.size()));
        if (sent != Transfer::done) {
            retire(link);
            return sent == Transfer::failed ? smc_return::kError : smc_return::kNotResponding;
        }

        output.fill(0);
        std::size_t received = 0;
        const Transfer answered = receive_exactly(fd.get(), output.data(), output.size(), received);
        if (answered == Transfer::timed_out || answered == Transfer::failed) {
            retire(link);
            return answered == Transfer::failed ? smc_return::kError : smc_return::kNotResponding;
        }
        if (answered == Transfer::closed) {
            // The device hung up; what arrived is all there is.
            retire(link);
            output_size = received;
            return smc_return::kSuccess;
        }

        output_size = received;
        std::uint32_t code = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            code |= std::uint32_t{output[smc_record::kTransportReturn + i]} << (8 * i);
            output[smc_record::kTransportReturn + i] = 0;
        }
        return code;
    }

    void close_connection(std::uint32_t connection) { connections_.erase(connection); }

private:
    // One open connection; `fd` is empty from a failed record until the next reconnection.
    struct Link {
        UniqueFd fd;
        double retired_at = 0;
    };

    // Connects to the device behind the path and confirms its owner.
    std::uint32_t connect_device(UniqueFd& out) const {
        const auto address = local_address(path_);
        if (!address) return smc_return::kNoDevice;

        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd) return smc_return::kError;

        const timeval timeout{kTimeoutSeconds, 0};
        if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
            ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
            return smc_return::kError;
        }

        int rc = 0;
        do {
            rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address->record), address->length);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) return smc_return::kNoDevice;

        // The path was checked before connecting; the peer itself must be the owner as well.
        if (peer_effective_uid(fd.get()) != std::uint32_t{owner_}) return smc_return::kNotPermitted;
        out = std::move(fd);
        return smc_return::kSuccess;
    }

    void retire(Link& link) {
        link.fd.reset();
        link.retired_at = continuous_seconds();
    }

    // Not within the pause after a failure: a hung device would otherwise cost the whole
    // time-out on every call, and a snapshot makes dozens of them. The path is checked again,
    // since whatever listens there now is a new peer.
    bool reconnect(Link& link) {
        if (continuous_seconds() - link.retired_at < reconnect_pause_) return false;
        if (find_service() != kServiceHandle || connect_device(link.fd) != smc_return::kSuccess) {
            retire(link);
            return false;
        }
        return true;
    }

    std::string path_;
    uid_t owner_;
    double reconnect_pause_;
    std::uint32_t next_connection_ = 1;
    std::map<std::uint32_t, Link> connections_;
};

}  // namespace

SmcPort make_socket_smc_port(std::string path, uid_t owner, double reconnect_pause) {
    const auto port = std::make_shared<SocketSmcPort>(std::move(path), owner, reconnect_pause);
    return SmcPort{
        .find_service = [port] { return port->find_service(); },
        .open_service = [port](std::uint32_t service,
                               std::uint32_t& connection) { return port->open_service(service, connection); },
        .release_service = [port](std::uint32_t service) { port->release_service(service); },
        .call_struct =
            [port](std::uint32_t connection, std::uint32_t selector, const SmcRecord& input, SmcRecord& output,
                   std::size_t& output_size) {
                return port->call_struct(connection, selector, input, output, output_size);
            },
        .close_connection = [port](std::uint32_t connection) { port->close_connection(connection); },
    };
}

SmcPort SmcPort::production() { return make_socket_smc_port(smc_record::kVirtualDevicePath, 0); }
