#pragma once

#include <cstdint>
#include <string>

struct WakeDurableFile {
    // Checks that a freshly written record and its folder belong to `owner` and are closed to
    // group and others, then forces both onto stable storage. Throws WakeIPCError.
    static void synchronize(const std::string& path, std::uint32_t owner);
};
