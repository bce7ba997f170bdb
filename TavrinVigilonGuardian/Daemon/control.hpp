#pragma once

#include "Service/tavrin_wake_control.hpp"
#include "Engine/wake_ipc_contract.hpp"

#include <cstdint>
#include <string>

// The object the guardian exports to one accepted connection of its owner. Requests are checked
// on the caller's thread and refused there at once; everything else runs on the power queue, one
// request at a time and never alongside a watch tick, and is answered exactly once.
class Control final : public TavrinWakeControl {
public:
    // `installLockPath` is the installer's lock; other paths are for tests.
    explicit Control(std::uint32_t ownerUID, std::string installLockPath = WakeIPCContract::operationLockPath);

    void perform(const std::string& request, std::int64_t minutes, std::int64_t thermalLimit,
                 TavrinWakeReply reply) override;

    const std::uint32_t ownerUID;

private:
    const std::string installLockPath_;
};

// The body of one accepted request that changes the setting ("start", "stop" or "restore"),
// run on the power queue inside the install lock. Throws the failure the reply carries.
void performVerb(const std::string& request, std::int64_t minutes, std::int64_t thermalLimit);
