#include "wake_ipc_contract.hpp"

#include "Safety/wake_power_policy.hpp"
#include "wake_ipc_error.hpp"

#include <sys/stat.h>

#include <algorithm>

namespace WakeIPCContract {

bool accepts(std::string_view request, std::int64_t minutes, std::int64_t thermalLimit) {
    // 1. A session: an allowed duration and any known limit.
    if (request == "start") {
        const auto* allowed = std::find(WakePowerPolicy::allowedMinutes.begin(),
                                        WakePowerPolicy::allowedMinutes.end(), minutes);
        if (allowed == WakePowerPolicy::allowedMinutes.end()) return false;
        return wakeThermalLimit(thermalLimit).has_value();
    }
    // 2. The verbs without arguments take exactly the neutral values.
    if (request == "ping" || request == "stop" || request == "restore") {
        return minutes == 0 && thermalLimit == rawValue(WakeThermalLimit::fair);
    }
    // 3. Nothing else exists.
    return false;
}

bool acceptsPeer(std::uint32_t uid, std::uint32_t owner) { return owner != 0 && uid == owner; }

bool validHash(std::string_view hash) {
    if (hash.size() != 40) return false;
    return std::all_of(hash.begin(), hash.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string requirement(std::string_view hash) {
    if (!validHash(hash)) throw WakeIPCError("올바른 코드 서명이 아닙니다.");
    std::string text = "cdhash H\"";
    text += hash;
    text += '"';
    return text;
}

bool trustedFile(const std::string& path, bool directory) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return false;
    const bool rightType = directory ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
    return status.st_uid == 0 && (status.st_mode & 022) == 0 && rightType;
}

}  // namespace WakeIPCContract
