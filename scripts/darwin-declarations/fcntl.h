// The host's <fcntl.h>, plus what Darwin's adds for the Mac files.
#include_next <fcntl.h>

#ifndef DARWIN_DECLARATIONS_FCNTL_H
#define DARWIN_DECLARATIONS_FCNTL_H

// fsync, then have the drive write its own cache to the medium.
#define F_FULLFSYNC 51

#endif
