#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

// Replaces the file at `path` with `bytes` so that a reader sees either the old or the new whole
// file: a temporary file in the same directory, given `mode` and, when `durable`, flushed, then
// renamed over the path. Throws GuardianError "Cannot write <path>." when the content cannot be
// put in place, and GuardianError `secureFailure` when the mode cannot be set; the target is
// untouched in both cases.
void replaceFile(const std::string& path, std::string_view bytes, mode_t mode, bool durable,
                 const std::string& secureFailure);

// Writes the JSON form of a record (any type with an `encodeJSON` overload) at `path` with mode
// 0644. When `durable`, the file and its directory are then checked and forced onto stable
// storage (WakeDurableFile.synchronize, owner root), whose errors pass through.
void atomicWriteBytes(std::string_view bytes, const std::string& path, bool durable);

template <typename Record>
void atomicWrite(const Record& record, const std::string& path, bool durable) {
    atomicWriteBytes(encodeJSON(record), path, durable);
}
