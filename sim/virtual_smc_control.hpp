#pragma once

#include <string>
#include <vector>

#include "virtual_smc_device.hpp"

namespace vsmc {

struct ControlReply {
    bool ok = true;
    std::string text;  // output on success, the reason otherwise
};

// One control command (`virtual-smc ctl ...`), already split into words.
ControlReply run_control(Device& device, const std::vector<std::string>& words, double now);

// The whole device state on one line of JSON.
std::string dump_state(const Device& device, double now);

}  // namespace vsmc
