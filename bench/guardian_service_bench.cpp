// guardian_service_bench [COUNT]: what a request through the front end's client costs against
// the guardian's service endpoint in this process, as a ratio to a bare round trip over a local
// socket measured in the same run. Both ends check each other's code on every connection; the
// executable's hash is taken once and then served from its cache, so what remains is the
// per-connection work (peer ids, process handles, the announcement, the threads). Run as root:
// the client insists on a root-owned endpoint.
#include "Service/tavrin_wake_control.hpp"
#include "Service/xpc_listener.hpp"
#include "Service/xpc_server_connection.hpp"
#include "Service/wake_helper_client.hpp"
#include "Engine/wake_ipc_contract.hpp"
#include "sys/executable_hash.hpp"
#include "sys/local_socket.hpp"
#include "sys/unique_fd.hpp"
#include "timing.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Answer final : TavrinWakeControl {
    void perform(const std::string&, std::int64_t, std::int64_t, TavrinWakeReply reply) override {
        reply(true, std::to_string(WakeIPCContract::version));
    }
};

struct LetIn final : XPCListenerDelegate {
    bool shouldAcceptNewConnection(XPCListener&, const std::shared_ptr<XPCServerConnection>& connection) override {
        connection->setExportedInterface(tavrinWakeControlInterface());
        connection->setExportedObject(std::make_shared<Answer>());
        connection->resume();
        return true;
    }
};

void report(const char* what, const std::vector<double>& ms) {
    std::printf("%-34s median %8.1f us  p99 %8.1f us  (%zu)\n", what, 1000 * quantile(ms, 0.5),
                1000 * quantile(ms, 0.99), ms.size());
}

// The baseline: connect, one line out, one line back, close; a thread echoes on the other side.
std::vector<double> bareRoundTrips(const std::string& path, int count) {
    const auto address = local_address(path);
    const UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!address || ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address->record), address->length) != 0 ||
        ::listen(listener.get(), 16) != 0) {
        std::perror("bare listener");
        std::exit(1);
    }
    std::thread echo([&] {
        for (int i = 0; i < count; ++i) {
            const UniqueFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            std::string pending;
            std::string line;
            if (read_line(peer.get(), pending, line, LineLimits{.max_length = 16384, .deadline = std::nullopt}) ==
                LineEnd::line) {
                (void)send_all(peer.get(), line + "\n");
            }
        }
    });
    const auto trips = timed_ms(count, [&] {
        const UniqueFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address->record), address->length);
        (void)send_all(connection.get(), "{\"verb\":\"ping\",\"minutes\":0,\"thermalLimit\":1}\n");
        std::string pending;
        std::string line;
        (void)read_line(connection.get(), pending, line, LineLimits{.max_length = 16384, .deadline = std::nullopt});
    });
    echo.join();
    return trips;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (count < 1 || ::geteuid() != 0) {
        std::fputs("Usage: guardian_service_bench [COUNT], as root\n", stderr);
        return 2;
    }
    char folder[] = "/tmp/guardian-service-bench.XXXXXX";
    if (::mkdtemp(folder) == nullptr || ::chmod(folder, 0755) != 0) return 1;
    const std::string servicePath = std::string(folder) + "/service.sock";
    const auto ownHash = code_hash_of_file("/proc/self/exe");
    if (!ownHash) return 1;
    std::printf("%d round trips each, both ways through a local socket (a few seconds)\n", count);

    const auto bare = bareRoundTrips(std::string(folder) + "/bare.sock", count);

    int result = 0;
    {
        XPCListener listener("app.tavrin.vigilon.guardian", servicePath);
        listener.setConnectionCodeSigningRequirement(WakeIPCContract::requirement(*ownHash));
        listener.setDelegate(std::make_shared<LetIn>());
        listener.resume();
        const WakeHelperClient client(servicePath, std::chrono::seconds(30));
        try {
            const auto first = timed_ms(1, [&] { client.request("ping", WakeThermalLimit::fair, *ownHash); });
            const auto pings = timed_ms(count, [&] { client.request("ping", WakeThermalLimit::fair, *ownHash); });
            report("bare local-socket round trip", bare);
            std::printf("%-34s %8.1f us  (its executable hashed once)\n", "first ping through the client",
                        1000 * first[0]);
            report("ping through the client", pings);
            std::printf("ratio of the medians: %.1f\n", quantile(pings, 0.5) / quantile(bare, 0.5));
        } catch (const std::exception& error) {
            std::fprintf(stderr, "guardian_service_bench: %s\n", error.what());
            result = 1;
        }
    }
    std::filesystem::remove_all(folder);
    return result;
}
