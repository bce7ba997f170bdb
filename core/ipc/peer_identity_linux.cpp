#include "ipc/peer_identity.hpp"

#include <signal.h>

void set_no_sigpipe(int) {
    // Linux has no per-socket switch: the signal is ignored for the whole process, and every
    // send also passes MSG_NOSIGNAL.
    ::signal(SIGPIPE, SIG_IGN);
}
