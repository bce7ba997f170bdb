#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "fan_error.hpp"

inline constexpr char kUsageText[] = "사용법: Airvane --status 또는 관리자 권한으로 --serve UID UUID";
inline constexpr char kBadAppSignature[] = "잘못된 앱 서명";

enum class ServingMode { serve, daemon };

// What the serving startup needs once the command line has been checked.
struct ServingArgs {
    ServingMode mode;
    std::uint32_t uid;
    // The session identifier (serve) or the code hash of the one allowed client (daemon).
    std::string third;

    bool operator==(const ServingArgs&) const = default;
};

struct StatusMode {
    bool operator==(const StatusMode&) const = default;
};

using Dispatch = std::variant<StatusMode, ServingArgs>;

// The process facts the dispatch depends on, injectable so every branch can be tested.
struct DispatchEnv {
    std::function<std::uint32_t()> effective_uid;
    std::function<bool(std::uint32_t)> user_exists;
};

DispatchEnv system_dispatch_env();

// Unsigned 32-bit decimal: an optional '+', then one or more ASCII digits, nothing else.
std::optional<std::uint32_t> parse_uid(std::string_view text);

// Chooses the mode and validates its arguments, in the fixed order of checks.
FanResult<Dispatch> dispatch(std::span<const std::string_view> args, const DispatchEnv& env);
