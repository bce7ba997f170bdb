#include "Engine/wake_durable_file.hpp"
#include "Engine/wake_ipc_error.hpp"
#include "Engine/atomic_write.hpp"
#include "Engine/guardian_test_support.hpp"
#include "Engine/heartbeat.hpp"
#include "Engine/state_store.hpp"
#include "sys/durable_file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <unistd.h>

namespace {

mode_t modeOf(const std::string& path) {
    struct stat status {};
    ::stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

std::string durableFailure(const std::string& path) {
    try {
        WakeDurableFile::synchronize(path, 0);
    } catch (const WakeIPCError& error) {
        return error.message;
    }
    return "";
}

class AtomicWriteTest : public GuardianFixture {};

// Every storage flush of one durable write: what it was applied to, and what the record's path
// named at that moment.
struct Flush {
    bool folder;
    ino_t flushed;
    ino_t named;  // 0 while nothing is at the path
};
std::vector<Flush> flushes;
std::string flushedRecordPath;

bool recordFlush(int fd) {
    struct stat flushed {};
    struct stat named {};
    ::fstat(fd, &flushed);
    const bool present = ::stat(flushedRecordPath.c_str(), &named) == 0;
    flushes.push_back({S_ISDIR(flushed.st_mode), flushed.st_ino, present ? named.st_ino : 0});
    return true;
}

// A killed process keeps its page cache, so only the order of the flushes shows that a power loss
// could not leave the name pointing at unwritten data, nor lose the rename.
TEST_F(AtomicWriteTest, ADurableRecordIsFlushedBeforeItIsPlacedAndItsFolderAfter) {
    flushedRecordPath = context().statePath;
    writeText(flushedRecordPath, "old");
    ::chmod(flushedRecordPath.c_str(), 0644);
    flushes.clear();
    const StorageFlush previous = replace_storage_flush(recordFlush);
    atomicWrite(WakeGuardianState::idle("expired", std::nullopt, 9), flushedRecordPath, true);
    replace_storage_flush(previous);

    struct stat placed {};
    struct stat folder {};
    ASSERT_EQ(::stat(flushedRecordPath.c_str(), &placed), 0);
    ASSERT_EQ(::stat(dir.path().c_str(), &folder), 0);
    ASSERT_FALSE(flushes.empty());
    EXPECT_FALSE(flushes[0].folder);
    EXPECT_EQ(flushes[0].flushed, placed.st_ino) << "the content that was placed is what went first";
    EXPECT_NE(flushes[0].named, placed.st_ino) << "flushed only after it was placed";
    const auto folderFlush = std::find_if(flushes.begin(), flushes.end(), [&](const Flush& flush) {
        return flush.folder && flush.flushed == folder.st_ino && flush.named == placed.st_ino;
    });
    EXPECT_NE(folderFlush, flushes.end()) << "the folder was not flushed once the record was in place";
}

TEST_F(AtomicWriteTest, ReplacesWholeFileWithFixedModeAndLeavesNoTemporaryFile) {
    const mode_t previous = ::umask(0);
    const std::string path = dir / "watcher.json";
    writeText(path, "old content that is longer than the new one");
    ::chmod(path.c_str(), 0666);
    atomicWrite(Heartbeat{.pid = 5, .bootTime = 6, .uptime = 7}, path, false);
    EXPECT_EQ(readText(path), R"({"pid":5,"bootTime":6,"uptime":7.0})");
    EXPECT_EQ(modeOf(path), 0644u);

    atomicWrite(WakeGuardianState::idle("expired", std::nullopt, 9), context().statePath, true);
    ::umask(previous);
    EXPECT_EQ(modeOf(context().statePath), 0644u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST_F(AtomicWriteTest, FailedWriteKeepsTheOldFile) {
    const std::string path = dir / "gone/state.json";
    try {
        atomicWrite(Heartbeat{}, path, true);
        ADD_FAILURE();
    } catch (const GuardianError& error) {
        EXPECT_EQ(error.message, "Cannot write " + path + ".");
    }
    ASSERT_EQ(::mkdir((dir / "occupied").c_str(), 0700), 0);
    EXPECT_THROW(atomicWrite(Heartbeat{}, dir / "occupied", false), GuardianError);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "occupied"));
}

TEST_F(AtomicWriteTest, DurableWriteChecksTheFolder) {
    ::chmod(dir.path().c_str(), 0775);
    EXPECT_THROW(atomicWrite(Heartbeat{}, context().statePath, true), WakeIPCError);
    EXPECT_TRUE(exists(context().statePath)) << "the content is in place; only its durability is unconfirmed";
    EXPECT_NO_THROW(atomicWrite(Heartbeat{}, context().statePath, false));
}

TEST_F(AtomicWriteTest, SynchronizeChecksOwnershipAndModes) {
    const std::string file = dir / "record";
    writeText(file, "{}");
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(durableFailure(file), "");

    ::chmod(file.c_str(), 0664);
    EXPECT_EQ(durableFailure(file), "복구 기록을 디스크에 확정할 수 없습니다.");
    ::chmod(file.c_str(), 0646);
    EXPECT_EQ(durableFailure(file), "복구 기록을 디스크에 확정할 수 없습니다.");
    ::chmod(file.c_str(), 0644);
    ASSERT_EQ(::chown(file.c_str(), 1000, 1000), 0);
    EXPECT_EQ(durableFailure(file), "복구 기록을 디스크에 확정할 수 없습니다.");
    ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);

    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0700), 0);
    EXPECT_EQ(durableFailure(dir / "folder"), "복구 기록을 동기화할 수 없습니다.");
    ASSERT_EQ(::symlink(file.c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(durableFailure(dir / "link"), "복구 기록을 동기화할 수 없습니다.");
    EXPECT_EQ(durableFailure(dir / "missing"), "복구 기록을 동기화할 수 없습니다.");

    ::chmod(dir.path().c_str(), 0770);
    EXPECT_EQ(durableFailure(file), "복구 폴더 기록을 디스크에 확정할 수 없습니다.");
    ::chmod(dir.path().c_str(), 0700);
    ASSERT_EQ(::chown(dir.path().c_str(), 1000, 1000), 0);
    EXPECT_EQ(durableFailure(file), "복구 폴더 기록을 디스크에 확정할 수 없습니다.");
    ASSERT_EQ(::chown(dir.path().c_str(), 0, 0), 0);
}

TEST_F(AtomicWriteTest, ReadStateTrustsReadsAndDecodes) {
    const std::string path = context().statePath;
    EXPECT_EQ(readState(), std::nullopt);

    const auto record = WakeGuardianState::idle("expired", std::nullopt, 12);
    atomicWrite(record, path, false);
    EXPECT_EQ(readState(), record);

    writeText(path, "{not json");
    try {
        readState();
        ADD_FAILURE();
    } catch (const GuardianError& error) {
        EXPECT_EQ(error.message, "Cannot decode " + path + ".");
    }

    ::unlink(path.c_str());
    ASSERT_EQ(::symlink("/nonexistent", path.c_str()), 0);
    try {
        readState();
        ADD_FAILURE();
    } catch (const GuardianError& error) {
        EXPECT_EQ(error.message, "Unsafe ownership or permissions: " + path);
    }
}

}  // namespace
