#include "wake_durable_file.hpp"

#include "durable_flush.hpp"
#include "sys/unique_fd.hpp"
#include "wake_ipc_error.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool closedToOthers(const struct stat& status, std::uint32_t owner) {
    return status.st_uid == owner && (status.st_mode & 022) == 0;
}

}  // namespace

void WakeDurableFile::synchronize(const std::string& path, std::uint32_t owner) {
    UniqueFd file(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!file) throw WakeIPCError("복구 기록을 동기화할 수 없습니다.");

    struct stat fileStatus {};
    if (::fstat(file.get(), &fileStatus) != 0 || !closedToOthers(fileStatus, owner) ||
        !S_ISREG(fileStatus.st_mode) || ::fsync(file.get()) != 0 || !fullDeviceFlush(file.get())) {
        throw WakeIPCError("복구 기록을 디스크에 확정할 수 없습니다.");
    }

    UniqueFd folder(::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) throw WakeIPCError("복구 폴더를 동기화할 수 없습니다.");

    struct stat folderStatus {};
    if (::fstat(folder.get(), &folderStatus) != 0 || !closedToOthers(folderStatus, owner) ||
        ::fsync(folder.get()) != 0 || !fullDeviceFlush(folder.get())) {
        throw WakeIPCError("복구 폴더 기록을 디스크에 확정할 수 없습니다.");
    }

    folder.reset();
    file.reset();
}
