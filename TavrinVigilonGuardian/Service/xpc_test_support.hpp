#pragma once

// Test-only pieces for the service endpoint: a socket folder, a delegate and an exported object
// whose behaviour each case chooses.

#include "Engine/guardian_test_support.hpp"
#include "sys/executable_hash.hpp"
#include "Service/xpc_listener.hpp"
#include "Service/xpc_server_connection.hpp"

#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

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
    explicit CallbackDelegate(Decide decide) : decide_(std::move(decide)) {}

    bool shouldAcceptNewConnection(XPCListener&, const std::shared_ptr<XPCServerConnection>& connection) override {
        ++asked;
        return decide_(connection);
    }

    std::atomic<int> asked{0};

private:
    Decide decide_;
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
