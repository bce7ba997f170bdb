#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "manual_record.hpp"

inline constexpr char kManualRecordPath[] = "/var/run/fantavrin.manual";

// The manual-control record on disk, beside the instance lock and used only while holding it.
// Every write replaces the whole file and is flushed with its directory before it counts, so a
// successor finds either the old or the new record, never a torn one. It always names at least
// every fan that may be manual: it grows before the controller does and shrinks after it.
class ManualRecordFile {
public:
    explicit ManualRecordFile(std::string path, uid_t owner = 0);
    // Removes the file unless it still names something manual, which the next start must see.
    ~ManualRecordFile();
    ManualRecordFile(const ManualRecordFile&) = delete;
    ManualRecordFile& operator=(const ManualRecordFile&) = delete;

    // What a helper that died without its teardown left, adopted as this helper's listing until
    // `claim`. A record not written by a helper (not the owner's, writable by others, a link, not
    // in the encoder's form) is removed unread: nothing is handed back or deleted on its word.
    std::optional<ManualRecord> take_over();

    // Names this helper's session directory with what its controller holds now. A failure is
    // not fatal: manual control is recorded again, and refused if that fails too.
    bool claim(std::string directory, const std::set<std::int64_t>& fans, bool ftst);

    // The controller's hook. False when the record could not be written; the listing still
    // follows a shrink, because the controller has handed those fans back whatever the disk says.
    bool save(const std::set<std::int64_t>& fans, bool ftst);

    const ManualRecord& listed() const { return listed_; }

private:
    bool write(const ManualRecord& record) const;
    void remove() const;

    std::string path_;
    uid_t owner_;
    ManualRecord listed_;
};
