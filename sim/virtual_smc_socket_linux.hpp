#pragma once

#include <atomic>
#include <expected>
#include <string>

#include "sys/unique_fd.hpp"
#include "virtual_smc_device.hpp"

namespace vsmc {

struct SocketPaths {
    std::string device;   // 80-byte records, open to every user
    std::string control;  // control commands, root only
};

// Seconds on the clock the device's physics runs on.
double now_seconds();

// Binds both sockets and serves every client until `stop` is set. An error text on failure.
std::expected<void, std::string> serve(Device& device, const SocketPaths& paths, const std::atomic<bool>& stop);

// Sends everything, waiting briefly when a non-blocking peer is slow; false on failure.
bool send_all(int fd, const void* data, std::size_t size);

// Connects to a listening local socket; an error text when nobody answers there.
std::expected<UniqueFd, std::string> connect_local(const std::string& path);

}  // namespace vsmc
