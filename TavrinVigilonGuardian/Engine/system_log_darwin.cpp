#include "Engine/output_line.hpp"

#include <os/log.h>

#include <algorithm>
#include <array>
#include <cstddef>

#include "Engine/wake_power_policy.hpp"

namespace {

// Made once; a log object lives as long as the process.
os_log_t guardianLog() {
    static const os_log_t log = os_log_create(WakePowerPolicy::daemonLabel, "guardian");
    return log;
}

}  // namespace

void mirrorToSystemLog(OutputStream stream, std::string_view first, std::string_view rest) noexcept {
    // The log takes one C string: the line is copied into a buffer of its own (cut short past its
    // size), not built on the heap.
    std::array<char, 1024> line{};
    const std::size_t head = std::min(first.size(), line.size() - 1);
    const std::size_t tail = std::min(rest.size(), line.size() - 1 - head);
    std::copy_n(first.data(), head, line.data());
    std::copy_n(rest.data(), tail, line.data() + head);
    const os_log_type_t type = stream == OutputStream::standardError ? OS_LOG_TYPE_ERROR : OS_LOG_TYPE_DEFAULT;
    // Public: the lines hold no secrets, and a private argument would show as "<private>".
    os_log_with_type(guardianLog(), type, "%{public}s", line.data());
}
