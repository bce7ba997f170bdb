#include "ipc/peer_identity.hpp"

#include <sys/socket.h>

void set_no_sigpipe(int socket) {
    // A reply written to a client that has already gone must fail with EPIPE, not end the
    // helper. A socket that refuses the option is still served; the seam has no failure to report.
    const int on = 1;
    (void)::setsockopt(socket, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
}
