#pragma once

// Test-only pieces for the service endpoint: a socket folder, a delegate and an exported object
// whose behaviour each case chooses.

#include "Engine/guardian_test_support.hpp"
#include "sys/executable_hash.hpp"
#include "sys/peer_judgement.hpp"
#include "Service/xpc_listener.hpp"
#include "Service/xpc_server_connection.hpp"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// A root-owned folder that others may enter but not write, as the run directory is.
struct ServiceFolder {
    ServiceFolder() { ::chmod(dir.path().c_str(), 0755); }
    std::string socketPath() const { return dir / "guardian.sock"; }
    TempDir dir;
};

inline std::string ownCodeHash() { return code_hash_of_file("/proc/self/exe").value(); }

class CallbackDelegate final : public XPCListenerDelegate {
public:
    using Decide = std::function<bool(const std::shared_ptr<XPCServerConnection>&)>;
    using User = std::function<bool(std::uint32_t uid)>;  // the uid-only question; none: any user
    explicit CallbackDelegate(Decide decide, User user = {}) : decide_(std::move(decide)), user_(std::move(user)) {}

    bool shouldAcceptNewConnection(XPCListener&, const std::shared_ptr<XPCServerConnection>& connection) override {
        ++asked;
        return decide_(connection);
    }
    bool mayAcceptUser(std::uint32_t uid) const override { return !user_ || user_(uid); }

    std::atomic<int> asked{0};

private:
    Decide decide_;
    User user_;
};

// Stands in for the check of a peer's code while it lives: counts the checks and, once stalled,
// holds each back until released, as a peer's program on a file system that stopped answering
// would; otherwise it judges as the platform does.
class PeerCodeCheckStandIn {
public:
    PeerCodeCheckStandIn() : previous_(replace_peer_code_check(check)) { checks = 0; }
    ~PeerCodeCheckStandIn() {
        release();
        // A stuck check that was abandoned finishes on its own thread; none outlives the test.
        while (judgements_under_way() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        replace_peer_code_check(previous_);
    }
    PeerCodeCheckStandIn(const PeerCodeCheckStandIn&) = delete;
    PeerCodeCheckStandIn& operator=(const PeerCodeCheckStandIn&) = delete;

    void stall() {
        const std::lock_guard lock(mutex);
        stalled = true;
    }
    void release() {
        {
            const std::lock_guard lock(mutex);
            stalled = false;
        }
        opened.notify_all();
    }

    static inline std::atomic<int> checks{0};

private:
    static PeerCode check(int connection, std::string_view requirement) {
        ++checks;
        {
            std::unique_lock lock(mutex);
            opened.wait(lock, [] { return !stalled; });
        }
        return peer_code(connection, requirement);
    }

    static inline std::mutex mutex;
    static inline std::condition_variable opened;
    static inline bool stalled = false;
    PeerCodeJudge previous_;
};

class CallbackControl final : public TavrinWakeControl {
public:
    using Perform = std::function<void(const std::string&, std::int64_t, std::int64_t, TavrinWakeReply)>;
    explicit CallbackControl(Perform perform) : perform_(std::move(perform)) {}

    void perform(const std::string& request, std::int64_t minutes, std::int64_t thermalLimit,
                 TavrinWakeReply reply) override {
        ++calls;
        perform_(request, minutes, thermalLimit, std::move(reply));
    }

    std::atomic<int> calls{0};

private:
    Perform perform_;
};

// Lets a connection in the way the guardian's delegate does: the object, the interface, resume.
inline bool exportTo(const std::shared_ptr<XPCServerConnection>& connection,
                     const std::shared_ptr<TavrinWakeControl>& object, const std::string& requirement = "") {
    if (!requirement.empty()) connection->setCodeSigningRequirement(requirement);
    connection->setExportedInterface(tavrinWakeControlInterface());
    connection->setExportedObject(object);
    connection->resume();
    return true;
}
