#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The watcher's proof of life ("watcher.json").
struct Heartbeat {
    std::int32_t pid = 0;
    std::int64_t bootTime = 0;  // boot identity when written
    double uptime = 0;          // system uptime when written

    bool operator==(const Heartbeat&) const = default;
};

std::string encodeJSON(const Heartbeat& heartbeat);
std::optional<Heartbeat> decodeHeartbeat(std::string_view text);

// The heartbeat file, trusted and decoded; no value when it is missing, unsafe or unreadable.
std::optional<Heartbeat> readHeartbeat(const std::string& path);

// Fresh: written in this boot by a process that is still alive, less than 6 seconds ago.
bool heartbeatIsFresh(const Heartbeat& heartbeat, std::int64_t bootTime, double uptime);
