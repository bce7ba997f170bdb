#include "Engine/atomic_write.hpp"

#include "Engine/wake_durable_file.hpp"
#include "Engine/wake_ipc_error.hpp"
#include "Engine/guardian_error.hpp"
#include "sys/durable_file.hpp"

void replaceFile(const std::string& path, std::string_view bytes, mode_t mode, bool durable,
                 const std::string& secureFailure) {
    const auto replaced = replace_file(path, bytes, mode, durable);
    if (replaced) return;
    switch (replaced.error()) {
        case ReplaceFailure::mode: throw GuardianError(secureFailure);
        case ReplaceFailure::flush: throw WakeIPCError("복구 기록을 디스크에 확정할 수 없습니다.");
        case ReplaceFailure::write: break;
    }
    throw GuardianError("Cannot write " + path + ".");
}

void atomicWriteBytes(std::string_view bytes, const std::string& path, bool durable) {
    replaceFile(path, bytes, 0644, durable, "Cannot secure " + path + ".");
    // The content was flushed before the rename, so the name never points at unwritten data; the
    // placed record is judged, and flushed once more, together with the folder that names it.
    if (durable) WakeDurableFile::synchronize(path, 0);
}
