#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The guardian's service offers one method. Its reply is called exactly once, from any thread,
// with a success flag and a message.
using TavrinWakeReply = std::function<void(bool success, std::string message)>;

class TavrinWakeControl {
public:
    virtual ~TavrinWakeControl() = default;

    // "perform:minutes:thermalLimit:reply:"
    virtual void perform(const std::string& request, std::int64_t minutes, std::int64_t thermalLimit,
                         TavrinWakeReply reply) = 0;
};

// Which protocol a connection exports or expects to find at the other end.
struct XPCInterface {
    std::string protocolName;

    bool operator==(const XPCInterface&) const = default;
};

inline XPCInterface tavrinWakeControlInterface() { return XPCInterface{"TavrinWakeControl"}; }
