#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "smc/smc_record.hpp"

using SmcRecord = std::array<std::uint8_t, smc_record::kSize>;

// Return codes in the kernel's own numbering, so that messages read the same on every platform.
namespace smc_return {
inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::uint32_t kError = 0xe00002bc;
inline constexpr std::uint32_t kNoDevice = 0xe00002c0;
inline constexpr std::uint32_t kNotPrivileged = 0xe00002c1;
inline constexpr std::uint32_t kNotOpen = 0xe00002cd;
inline constexpr std::uint32_t kNotPermitted = 0xe00002e2;
inline constexpr std::uint32_t kNotResponding = 0xe00002ed;
}  // namespace smc_return

// The platform calls below `Smc`, one per kernel call it stands for: service lookup, open,
// release of the service handle, one structure call, close. Handles are plain numbers and 0
// means none, as in the kernel interface, so a native implementation is a thin forwarding layer.
// Like every platform seam, a set of functions: the production set reaches the machine, a test
// hands in its own.
struct SmcPort {
    // The "AppleSMC" service, or 0 when the machine has none.
    std::function<std::uint32_t()> find_service;

    // Opens a user-client connection on the service; on success stores its handle.
    std::function<std::uint32_t(std::uint32_t service, std::uint32_t& connection)> open_service;

    std::function<void(std::uint32_t service)> release_service;

    // One structure call. `output_size` comes in as the output capacity and goes out as the
    // number of bytes the other side actually returned.
    std::function<std::uint32_t(std::uint32_t connection, std::uint32_t selector, const SmcRecord& input,
                                SmcRecord& output, std::size_t& output_size)>
        call_struct;

    std::function<void(std::uint32_t connection)> close_connection;

    // The port of the platform this program was built for.
    static SmcPort production();
};
