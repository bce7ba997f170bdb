// The host's <sys/socket.h>, plus what Darwin's adds for the Mac files.
#include_next <sys/socket.h>

#ifndef DARWIN_DECLARATIONS_SYS_SOCKET_H
#define DARWIN_DECLARATIONS_SYS_SOCKET_H

// A write to a socket whose peer has gone fails with EPIPE instead of raising SIGPIPE.
#define SO_NOSIGPIPE 0x1022

#endif
