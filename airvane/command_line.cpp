#include "command_line.hpp"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>

#include "sys/code_hash.hpp"
#include "sys/decimal.hpp"
#include "sys/utf8.hpp"

namespace {

constexpr std::uint32_t kFirstRegularUser = 501;

}  // namespace

DispatchEnv system_dispatch_env() {
    return DispatchEnv{
        .effective_uid = [] { return static_cast<std::uint32_t>(geteuid()); },
        .user_exists = [](std::uint32_t uid) { return getpwuid(static_cast<uid_t>(uid)) != nullptr; },
    };
}

std::optional<std::uint32_t> parse_uid(std::string_view text) { return parse_unsigned32(text); }

FanResult<Dispatch> dispatch(std::span<const std::string_view> args, const DispatchEnv& env) {
    // Arguments that are not text are refused before anything acts on them, so no lock or file
    // is ever touched for them.
    if (!std::ranges::all_of(args, is_valid_utf8)) return fan_error(kUsageText);

    // The status mode.
    if (args.size() == 1 && args[0] == "--status") return StatusMode{};

    // A serving mode word with exactly two arguments after it.
    if (args.size() != 3 || (args[0] != "--serve" && args[0] != "--daemon")) {
        return fan_error(kUsageText);
    }
    const ServingMode mode = args[0] == "--serve" ? ServingMode::serve : ServingMode::daemon;

    // Serving is for root only.
    if (env.effective_uid() != 0) return fan_error(kUsageText);

    // The session user: a regular account the user database knows.
    const auto uid = parse_uid(args[1]);
    if (!uid || *uid < kFirstRegularUser || !env.user_exists(*uid)) return fan_error(kUsageText);

    // The daemon's client is pinned by its code hash.
    if (mode == ServingMode::daemon && !is_code_hash(args[2])) return fan_error(kBadAppSignature);

    // The serving startup continues with the checked arguments.
    return ServingArgs{mode, *uid, std::string(args[2])};
}
