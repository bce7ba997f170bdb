#pragma once

#include <cstdint>
#include <string>

struct WakeDurableFile {
    // Checks that a record that was flushed and renamed into place and its folder belong to
    // `owner` and are closed to group and others, then forces the folder, and with it the rename,
    // onto stable storage. Throws WakeIPCError.
    static void synchronize(const std::string& path, std::uint32_t owner);
};
