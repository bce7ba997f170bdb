#pragma once

#include <sys/types.h>

#include <string>

#include "smc/smc_port.hpp"

// The stand-in for the SMC user client: a device answering 80-byte records on a local stream
// socket at `path`. The service exists only while that socket, and the directory holding it,
// belong to `owner` and cannot be replaced by anyone else. A connection that fails mid-record
// is replaced at the first call at least `reconnect_pause` seconds later.
SmcPort make_socket_smc_port(std::string path, uid_t owner, double reconnect_pause = 1.0);
