#include "Engine/wake_ipc_contract.hpp"

#include "Engine/wake_power_policy.hpp"
#include "sys/code_hash.hpp"
#include "sys/trusted_file.hpp"
#include "Engine/wake_ipc_error.hpp"

#include <algorithm>

namespace WakeIPCContract {

bool accepts(std::string_view request, std::int64_t minutes, std::int64_t thermalLimit) {
    // A session: an allowed duration and any known limit.
    if (request == "start") {
        const auto* allowed =
            std::find(WakePowerPolicy::allowedMinutes.begin(), WakePowerPolicy::allowedMinutes.end(), minutes);
        if (allowed == WakePowerPolicy::allowedMinutes.end()) return false;
        return wakeThermalLimit(thermalLimit).has_value();
    }
    // The verbs without arguments take exactly the neutral values.
    if (request == "ping" || request == "stop" || request == "restore") {
        return minutes == 0 && thermalLimit == rawValue(WakeThermalLimit::fair);
    }
    // Nothing else exists.
    return false;
}

bool acceptsPeer(std::uint32_t uid, std::uint32_t owner) { return owner != 0 && uid == owner; }

bool validHash(std::string_view hash) { return is_code_hash(hash); }

std::string requirement(std::string_view hash) {
    if (!validHash(hash)) throw WakeIPCError("올바른 코드 서명이 아닙니다.");
    return code_requirement(hash);
}

bool trustedFile(const std::string& path, bool directory) {
    const FileTrust rule{.kind = directory ? FileTrust::Kind::directory : FileTrust::Kind::regular};
    return open_trusted(path, rule).has_value();
}

}  // namespace WakeIPCContract
