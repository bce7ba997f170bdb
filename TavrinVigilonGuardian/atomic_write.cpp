#include "atomic_write.hpp"

#include "Shared/wake_durable_file.hpp"
#include "Shared/wake_ipc_error.hpp"
#include "guardian_error.hpp"
#include "sys/unique_fd.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string temporaryPattern(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder + "/." + name + ".XXXXXX";
}

bool writeAll(int fd, std::string_view bytes) {
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

void replaceFile(const std::string& path, std::string_view bytes, mode_t mode, bool durable,
                 const std::string& secureFailure) {
    std::string pattern = temporaryPattern(path);
    UniqueFd file(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!file) throw GuardianError("Cannot write " + path + ".");
    PendingFile pending(pattern);

    if (!writeAll(file.get(), bytes)) throw GuardianError("Cannot write " + path + ".");
    // The mode is set before the file appears under its name, so it is never seen with another.
    if (::fchmod(file.get(), mode) != 0) throw GuardianError(secureFailure);
    // The content must be on stable storage before the rename is: otherwise a power loss could
    // leave the new name pointing at a file whose data never reached the disk.
    if (durable && ::fsync(file.get()) != 0) throw WakeIPCError("복구 기록을 디스크에 확정할 수 없습니다.");
    if (::rename(pending.name().c_str(), path.c_str()) != 0) throw GuardianError("Cannot write " + path + ".");
    pending.placed();
}

void atomicWriteBytes(std::string_view bytes, const std::string& path, bool durable) {
    replaceFile(path, bytes, 0644, durable, "Cannot secure " + path + ".");
    if (durable) WakeDurableFile::synchronize(path, 0);
}
