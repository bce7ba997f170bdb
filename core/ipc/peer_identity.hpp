#pragma once

#include "sys/peer_identity.hpp"

// What the control socket needs beyond the peer's identity (peer_effective_uid and peer_code,
// shared with the guardian's service endpoint).

// Applies the platform's per-socket protection against SIGPIPE on writes to a closed peer.
void set_no_sigpipe(int socket);
