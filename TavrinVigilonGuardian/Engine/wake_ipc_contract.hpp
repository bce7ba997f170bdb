#pragma once

#include "Engine/wake_thermal_limit.hpp"

#include <cstdint>
#include <string>
#include <string_view>

// What the guardian and the front end agree on. Both sides call these same functions, so the
// client never sends what the guardian would refuse.
namespace WakeIPCContract {

inline constexpr std::int64_t version = 3;
inline constexpr const char* operationLockPath = "/Library/PrivilegedHelperTools/.app.tavrin.vigilon.install.lock";

// True exactly for "start" with an allowed duration and a known thermal limit, and for "ping",
// "stop" and "restore" with 0 minutes and the limit `fair`.
bool accepts(std::string_view request, std::int64_t minutes,
             std::int64_t thermalLimit = rawValue(WakeThermalLimit::fair));

// Root can never own the guardian, so a record naming owner 0 admits nobody.
bool acceptsPeer(std::uint32_t uid, std::uint32_t owner);

// Exactly 40 bytes, each 0-9 or a-f: the form of a 20-byte code hash.
bool validHash(std::string_view hash);

// The code requirement that matches exactly the code with this hash. Throws WakeIPCError
// "올바른 코드 서명이 아닙니다." when the hash is not valid.
std::string requirement(std::string_view hash);

// The path trust rule without raising: the path itself (a final link is not followed) must be
// a root-owned directory or regular file, as asked, that neither group nor others may write.
bool trustedFile(const std::string& path, bool directory = false);

}  // namespace WakeIPCContract
