#include "Engine/wake_durable_file.hpp"

#include "sys/durable_file.hpp"
#include "sys/trusted_file.hpp"
#include "Engine/wake_ipc_error.hpp"

void WakeDurableFile::synchronize(const std::string& path, std::uint32_t owner) {
    // The record itself: opened without following a link, judged by its descriptor, flushed.
    const FileTrust record{.kind = FileTrust::Kind::regular, .owner = owner};
    auto file = open_trusted(path, record, O_RDWR);
    if (!file && file.error() != TrustFailure::untrusted) {
        throw WakeIPCError("복구 기록을 동기화할 수 없습니다.");
    }
    if (!file || !flush_to_storage(file->get())) {
        throw WakeIPCError("복구 기록을 디스크에 확정할 수 없습니다.");
    }

    // The folder that names it, so that the rename which put it there is durable as well.
    const FileTrust folder{.kind = FileTrust::Kind::directory, .owner = owner};
    auto directory = open_trusted(parent_directory(path), folder);
    if (!directory && directory.error() != TrustFailure::untrusted) {
        throw WakeIPCError("복구 폴더를 동기화할 수 없습니다.");
    }
    if (!directory || !flush_to_storage(directory->get())) {
        throw WakeIPCError("복구 폴더 기록을 디스크에 확정할 수 없습니다.");
    }
}
