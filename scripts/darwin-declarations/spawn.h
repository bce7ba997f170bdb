// The host's <spawn.h>, plus what Darwin's adds for the Mac files.
#include_next <spawn.h>

#ifndef DARWIN_DECLARATIONS_SPAWN_H
#define DARWIN_DECLARATIONS_SPAWN_H

#ifdef __cplusplus
extern "C" {
#endif

// Every descriptor not named by a file action is closed in the child, whatever its
// close-on-exec flag.
#define POSIX_SPAWN_CLOEXEC_DEFAULT 0x4000

// Lets `filedes` pass into the child as it is, even under POSIX_SPAWN_CLOEXEC_DEFAULT.
int posix_spawn_file_actions_addinherit_np(posix_spawn_file_actions_t* file_actions, int filedes);

#ifdef __cplusplus
}
#endif

#endif
