// The host's <sys/un.h>, plus what Darwin's adds for the Mac files.
#include_next <sys/un.h>

#ifndef DARWIN_DECLARATIONS_SYS_UN_H
#define DARWIN_DECLARATIONS_SYS_UN_H

// Option level of local sockets, and the option that reads the peer's audit token.
#define SOL_LOCAL 0
#define LOCAL_PEERTOKEN 6

#endif
