#include "sys/durable_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "sys/full_device_flush.hpp"
#include "sys/trusted_file.hpp"
#include "sys/unique_fd.hpp"

namespace {

// A replacement is written under "." + the file's name + "." + six characters that mkostemp picks,
// in the file's own directory, so that the rename stays within one file system.
constexpr std::string_view kUniqueSuffix = "XXXXXX";

std::string replacement_prefix(std::string_view path) {
    const auto slash = path.find_last_of('/');
    return "." + std::string(slash == std::string_view::npos ? path : path.substr(slash + 1)) + ".";
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The temporary file until it has been renamed into place.
class PendingFile {
public:
    explicit PendingFile(std::string name) : name_(std::move(name)) {}
    ~PendingFile() {
        if (!name_.empty()) ::unlink(name_.c_str());
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    const std::string& name() const { return name_; }
    void placed() { name_.clear(); }

private:
    std::string name_;
};

}  // namespace

std::string parent_directory(std::string_view path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

namespace {

bool platform_flush(int fd) { return ::fsync(fd) == 0 && full_device_flush(fd); }

std::atomic<StorageFlush> storage_flush{platform_flush};

}  // namespace

bool flush_to_storage(int fd) { return storage_flush.load()(fd); }

StorageFlush replace_storage_flush(StorageFlush flush) { return storage_flush.exchange(flush); }

bool flush_directory_of(std::string_view path) {
    const UniqueFd folder(::open(parent_directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder && flush_to_storage(folder.get());
}

std::expected<void, ReplaceFailure> replace_file(const std::string& path, std::string_view bytes, mode_t mode,
                                                 bool durable) {
    std::string pattern = parent_directory(path) + "/" + replacement_prefix(path) + std::string(kUniqueSuffix);
    UniqueFd file(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!file) return std::unexpected(ReplaceFailure::write);
    PendingFile pending(pattern);

    if (!write_all(file.get(), bytes)) return std::unexpected(ReplaceFailure::write);
    // The mode is set before the file appears under its name, so it is never seen with another.
    if (::fchmod(file.get(), mode) != 0) return std::unexpected(ReplaceFailure::mode);
    // The content must be on stable storage before the rename is: otherwise a power loss could
    // leave the new name pointing at a file whose data never reached the disk.
    if (durable && !flush_to_storage(file.get())) return std::unexpected(ReplaceFailure::flush);
    if (::rename(pending.name().c_str(), path.c_str()) != 0) {
        return std::unexpected(ReplaceFailure::write);
    }
    pending.placed();
    return {};
}

void remove_stale_replacements(const std::string& path, uid_t owner) {
    const std::string prefix = replacement_prefix(path);
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(parent_directory(path).c_str()), ::closedir);
    if (!listing) return;
    const FileTrust owned{.kind = FileTrust::Kind::regular, .owner = owner, .forbidden = 0};
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(prefix) || name.size() != prefix.size() + kUniqueSuffix.size()) continue;
        struct stat status {};
        if (::fstatat(::dirfd(listing.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            trusted_status(status, owned)) {
            ::unlinkat(::dirfd(listing.get()), entry->d_name, 0);
        }
    }
}
