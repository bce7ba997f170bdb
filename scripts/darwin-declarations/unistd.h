// The host's <unistd.h>, plus what Darwin's adds for the Mac files.
#include_next <unistd.h>

#ifndef DARWIN_DECLARATIONS_UNISTD_H
#define DARWIN_DECLARATIONS_UNISTD_H

#ifdef __cplusplus
extern "C" {
#endif

// The effective user and group of the process at the other end of a local stream socket.
int getpeereid(int socket, uid_t* euid, gid_t* egid);

#ifdef __cplusplus
}
#endif

#endif
