#pragma once

#include <sys/types.h>

#include <expected>
#include <string>
#include <string_view>

// Files that drive recovery are replaced whole and, when they must survive a power loss, forced
// onto stable storage together with the directory entry that names them.

// The directory part of a path: "." when it has no '/', "/" for a file in the root.
std::string parent_directory(std::string_view path);

// The platform's strongest flush of a descriptor: its data and the drive's own write cache.
// False when the file system refused it. Every durable write of both programs flushes through it.
bool flush_to_storage(int fd);

// A flush no test can see the effect of (a killed process keeps its page cache) is checked by
// the order of the calls: a test puts a recorder in the flush's place and gets the one it
// replaced back, to put back in turn.
using StorageFlush = bool (*)(int fd);
StorageFlush replace_storage_flush(StorageFlush flush);

// Flushes the directory that holds `path`, so a rename or removal in it survives a power loss.
bool flush_directory_of(std::string_view path);

enum class ReplaceFailure {
    write,  // the temporary file could not be made, written or renamed into place
    mode,   // its mode could not be set
    flush,  // its content could not be forced onto stable storage
};

// Replaces the file at `path` with `bytes` so that a reader sees either the old or the new whole
// file: a temporary file in the same directory is written, given `mode` and, when `durable`,
// flushed, and only then renamed over the path. The directory itself is not flushed here. On any
// failure the target is untouched and the temporary file is gone.
std::expected<void, ReplaceFailure> replace_file(const std::string& path, std::string_view bytes, mode_t mode,
                                                 bool durable);

// A writer killed between making its temporary file and renaming it leaves that file behind.
// Removes the leftovers of replacing `path` that are regular files of `owner`; only safe while no
// other writer of `path` can be running.
void remove_stale_replacements(const std::string& path, uid_t owner);
