#include "manual_record_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "sys/durable_file.hpp"
#include "sys/trusted_file.hpp"

namespace {

// Far more than the longest record: a directory path and eight fan ids.
constexpr std::size_t kRecordLimit = 4096;

}  // namespace

ManualRecordFile::ManualRecordFile(std::string path, uid_t owner) : path_(std::move(path)), owner_(owner) {}

ManualRecordFile::~ManualRecordFile() {
    if (!listed_.lists_manual()) remove();
}

std::optional<ManualRecord> ManualRecordFile::take_over() {
    // A helper killed while replacing the record leaves the temporary file behind; the lock makes
    // sure no other helper is writing one now.
    remove_stale_replacements(path_, owner_);
    const FileTrust rule{.kind = FileTrust::Kind::regular, .owner = owner_, .forbidden = S_IWGRP | S_IWOTH};
    auto text = read_trusted(path_, rule, kRecordLimit);
    if (!text && text.error() == TrustFailure::missing) return std::nullopt;
    // Removing a record this helper did not write is safe: only the owner can write where it
    // lies, and the owner's helper always replaces it whole in the encoder's form, so such a
    // file never carries a dead helper's fans. Left there it would only stand in the way.
    std::optional<ManualRecord> record = text ? decode_manual_record(*text) : std::nullopt;
    if (!record) {
        remove();
        return std::nullopt;
    }
    listed_ = *record;
    return record;
}

bool ManualRecordFile::claim(std::string directory, const std::set<std::int64_t>& fans, bool ftst) {
    listed_ = ManualRecord{std::move(directory), fans, ftst};
    return write(listed_);
}

bool ManualRecordFile::save(const std::set<std::int64_t>& fans, bool ftst) {
    const ManualRecord wanted{listed_.directory, fans, ftst};
    const bool grows =
        !std::includes(listed_.fans.begin(), listed_.fans.end(), fans.begin(), fans.end()) || (ftst && !listed_.ftst);
    const bool written = write(wanted);
    if (written || !grows) listed_ = wanted;
    return written;
}

bool ManualRecordFile::write(const ManualRecord& record) const {
    return replace_file(path_, encode_manual_record(record), 0600, true) && flush_directory_of(path_);
}

void ManualRecordFile::remove() const {
    if (::unlink(path_.c_str()) == 0) flush_directory_of(path_);
}
