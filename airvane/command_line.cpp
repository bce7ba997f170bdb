#include "command_line.hpp"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>

#include "sys/code_hash.hpp"
#include "sys/decimal.hpp"

namespace {

constexpr std::uint32_t kFirstRegularUser = 501;

// A well-formed UTF-8 check: arguments that are not text are refused before anything acts
// on them, so no lock or file is ever touched for them.
bool is_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        const bool overlong = (len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
        if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

}  // namespace

DispatchEnv system_dispatch_env() {
    return DispatchEnv{
        .effective_uid = [] { return static_cast<std::uint32_t>(geteuid()); },
        .user_exists = [](std::uint32_t uid) { return getpwuid(static_cast<uid_t>(uid)) != nullptr; },
    };
}

std::optional<std::uint32_t> parse_uid(std::string_view text) { return parse_unsigned32(text); }

FanResult<Dispatch> dispatch(std::span<const std::string_view> args, const DispatchEnv& env) {
    if (!std::ranges::all_of(args, is_utf8)) return fan_error(kUsageText);

    // 1. The status mode.
    if (args.size() == 1 && args[0] == "--status") return StatusMode{};

    // 2. A serving mode word with exactly two arguments after it.
    if (args.size() != 3 || (args[0] != "--serve" && args[0] != "--daemon")) {
        return fan_error(kUsageText);
    }
    const ServingMode mode = args[0] == "--serve" ? ServingMode::serve : ServingMode::daemon;

    // 3. Serving is for root only.
    if (env.effective_uid() != 0) return fan_error(kUsageText);

    // 4. The session user: a regular account the user database knows.
    const auto uid = parse_uid(args[1]);
    if (!uid || *uid < kFirstRegularUser || !env.user_exists(*uid)) return fan_error(kUsageText);

    // 5. The daemon's client is pinned by its code hash.
    if (mode == ServingMode::daemon && !is_code_hash(args[2])) return fan_error(kBadAppSignature);

    // 6. The serving startup continues with the checked arguments.
    return ServingArgs{mode, *uid, std::string(args[2])};
}
