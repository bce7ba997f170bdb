#include "manual_record.hpp"
#include "manual_record_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "control/controller_test_rig.hpp"
#include "hand_back.hpp"
#include "session_claim.hpp"
#include "sys/durable_file.hpp"

namespace {

const std::string kSessionDir = "/var/run/fantavrin.0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";

TEST(ManualRecordText, RoundTripsInTheCompactForm) {
    const ManualRecord record{kSessionDir, {0, 1}, true};
    const std::string text = encode_manual_record(record);
    EXPECT_EQ(text, "{\"directory\":\"" + kSessionDir + "\",\"fans\":[0,1],\"ftst\":true}");
    EXPECT_EQ(decode_manual_record(text), record);
    const ManualRecord empty{"", {}, false};
    EXPECT_EQ(encode_manual_record(empty), R"({"directory":"","fans":[],"ftst":false})");
    EXPECT_EQ(decode_manual_record(encode_manual_record(empty)), empty);
    EXPECT_EQ(decode_manual_record(" {\"ftst\":false, \"fans\":[7], \"directory\":\"x\"}\n"),
              (ManualRecord{"x", {7}, false}));
}

TEST(ManualRecordText, AnythingButTheEncodersFormIsNoRecord) {
    for (const std::string_view text : {
             "",
             "null",
             "[]",
             "{}",
             "{\"directory\":\"\",\"fans\":[]}",
             R"({"directory":"","fans":[],"ftst":false,"extra":1})",
             R"({"directory":"","fans":[],"ftst":false,"ftst":true})",
             R"({"directory":1,"fans":[],"ftst":false})",
             R"({"directory":"","fans":{},"ftst":false})",
             R"({"directory":"","fans":[],"ftst":0})",
             R"({"directory":"","fans":[0,0],"ftst":false})",
             R"({"directory":"","fans":[8],"ftst":false})",
             R"({"directory":"","fans":[-1],"ftst":false})",
             R"({"directory":"","fans":[1.0],"ftst":false})",
             R"({"directory":"","fans":[18446744073709551615],"ftst":false})",
             R"({"directory":"","fans":["0"],"ftst":false})",
             R"({"directory":"","fans":[],"ftst":false} {})",
             "\xEF\xBB\xBF{\"directory\":\"\",\"fans\":[],\"ftst\":false}",
         }) {
        EXPECT_EQ(decode_manual_record(text), std::nullopt) << text;
    }
    const std::string with_nul("{\"directory\":\"\",\"fans\":[],\"ftst\":false}\0x", 41);
    EXPECT_EQ(decode_manual_record(with_nul), std::nullopt);
}

TEST(ManualRecordText, OnlyTheHelpersOwnDirectoriesMayBeRemoved) {
    EXPECT_TRUE(is_helper_session_directory(kSessionDir));
    EXPECT_TRUE(is_helper_session_directory("/var/run/fantavrin.0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"));
    EXPECT_TRUE(is_helper_session_directory("/var/run/tavrin"));
    for (const std::string_view other : {
             "",
             "/",
             "/var/run",
             "/var/run/",
             "/var/run/tavrin/",
             "/var/run/tavrin/..",
             "/etc",
             "/var/run/fantavrin.",
             "/var/run/fantavrin.lock",
             "/var/run/fantavrin.manual",
             "/var/run/fantavrin.0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F",
             "/var/run/fantavrin.0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9/",
             "/var/run/fantavrin.0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9/..",
             "/run/fantavrin.0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",
         }) {
        EXPECT_FALSE(is_helper_session_directory(other)) << other;
    }
}

// A record file in a private directory, owned by whoever runs the test.
class RecordFileTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/manual-record-test.XXXXXX";
        dir_ = ::mkdtemp(pattern);
        path_ = dir_ + "/fantavrin.manual";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void plant(const std::string& text, mode_t mode = 0600) {
        std::ofstream(path_) << text;
        ::chmod(path_.c_str(), mode);
    }
    std::string content() const {
        std::ifstream in(path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool exists() const { return ::access(path_.c_str(), F_OK) == 0; }

    std::string dir_;
    std::string path_;
};

TEST_F(RecordFileTest, NamesEverythingThatMayBeManualUntilACleanEnd) {
    {
        ManualRecordFile record(path_, ::geteuid());
        EXPECT_EQ(record.take_over(), std::nullopt);
        ASSERT_TRUE(record.claim(kSessionDir, {}, false));
        ASSERT_TRUE(record.save({1}, false));
        ASSERT_TRUE(record.save({0, 1}, true));
        EXPECT_EQ(decode_manual_record(content()), (ManualRecord{kSessionDir, {0, 1}, true}));
        struct stat status {};
        ASSERT_EQ(::stat(path_.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1) << "a temporary file was left";
    }
    // Still manual when the helper went: the next one finds it.
    EXPECT_TRUE(exists());
    {
        ManualRecordFile record(path_, ::geteuid());
        EXPECT_EQ(record.take_over(), (ManualRecord{kSessionDir, {0, 1}, true}));
        ASSERT_TRUE(record.save({}, false));
        EXPECT_EQ(decode_manual_record(content()), (ManualRecord{kSessionDir, {}, false}));
    }
    EXPECT_FALSE(exists());
}

TEST_F(RecordFileTest, AShrinkThatCannotBeWrittenStillCountsAGrowthDoesNot) {
    ManualRecordFile record(path_, ::geteuid());
    ASSERT_TRUE(record.claim(kSessionDir, {0}, true));
    // Nowhere left to put the replacing file.
    std::filesystem::remove_all(dir_);
    EXPECT_FALSE(record.save({0, 1}, true));
    EXPECT_EQ(record.listed().fans, (std::set<std::int64_t>{0}));
    EXPECT_FALSE(record.save({}, false));
    EXPECT_FALSE(record.listed().lists_manual());
}

// A well-formed record of exactly `size` bytes.
std::string record_of_size(std::size_t size) {
    const std::size_t bare = encode_manual_record({"", {0}, false}).size();
    return encode_manual_record({std::string(size - bare, 'd'), {0}, false});
}

TEST_F(RecordFileTest, ARecordNotWrittenByTheHelperIsRemovedUnread) {
    const std::string good = encode_manual_record({kSessionDir, {0}, false});
    for (const auto& [text, mode] : {std::pair{good, mode_t{0620}},
                                     {good, mode_t{0602}},
                                     {std::string("{"), mode_t{0600}},
                                     {std::string(5000, ' '), mode_t{0600}},
                                     {record_of_size(4097), mode_t{0600}}}) {
        plant(text, mode);
        ManualRecordFile record(path_, ::geteuid());
        EXPECT_EQ(record.take_over(), std::nullopt) << text.substr(0, 10) << " " << mode;
        EXPECT_FALSE(exists());
    }
    // Owned by someone else.
    plant(good);
    ManualRecordFile foreign(path_, ::geteuid() + 1);
    EXPECT_EQ(foreign.take_over(), std::nullopt);
    EXPECT_FALSE(exists());
    // A link is never followed, and the file it points to stays.
    plant(good);
    const std::string target = dir_ + "/elsewhere";
    std::filesystem::rename(path_, target);
    std::filesystem::create_symlink(target, path_);
    ManualRecordFile linked(path_, ::geteuid());
    EXPECT_EQ(linked.take_over(), std::nullopt);
    EXPECT_FALSE(std::filesystem::is_symlink(path_));
    EXPECT_TRUE(std::filesystem::exists(target));
    // The size alone refused the record one byte longer.
    plant(record_of_size(4096));
    ManualRecordFile largest(path_, ::geteuid());
    EXPECT_EQ(largest.take_over(), decode_manual_record(record_of_size(4096)));
}

TEST_F(RecordFileTest, TemporaryFilesOfAKilledWriterAreSwept) {
    std::ofstream(dir_ + "/.fantavrin.manual.Ab3dE9") << "{";
    std::ofstream(dir_ + "/.fantavrin.manual.toolong7") << "{";
    std::ofstream(dir_ + "/.fantavrin.lock.Ab3dE9") << "{";
    ManualRecordFile record(path_, ::geteuid());
    EXPECT_EQ(record.take_over(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/.fantavrin.manual.Ab3dE9"));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/.fantavrin.manual.toolong7"));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/.fantavrin.lock.Ab3dE9"));
}

TEST_F(RecordFileTest, OnlyTheOwnersRegularFilesAreSweptAsTemporaries) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
    const std::string own = dir_ + "/.fantavrin.manual.Ab3dE9";
    const std::string foreign = dir_ + "/.fantavrin.manual.Cd4eF0";
    const std::string link = dir_ + "/.fantavrin.manual.Ef5gH1";
    const std::string fifo = dir_ + "/.fantavrin.manual.Gh6iJ2";
    std::ofstream(own) << "{";
    std::ofstream(foreign) << "{";
    ASSERT_EQ(::chown(foreign.c_str(), 60001, 60001), 0);
    std::filesystem::create_symlink(own, link);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ManualRecordFile record(path_, ::geteuid());
    EXPECT_EQ(record.take_over(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(own));
    EXPECT_TRUE(std::filesystem::exists(foreign));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

// What the storage was asked to flush, and what the record's name gave at that moment.
struct FlushSeen {
    bool directory = false;
    ino_t inode = 0;
    std::string named_then;
};
std::vector<FlushSeen> flushes_seen;
std::string flush_watched;

bool record_flush(int fd) {
    struct stat status {};
    ::fstat(fd, &status);
    std::ifstream named(flush_watched);
    std::stringstream text;
    text << named.rdbuf();
    flushes_seen.push_back({S_ISDIR(status.st_mode), status.st_ino, text.str()});
    return true;
}

// A killed process keeps its page cache, so no crash shows a missing flush: the order does. The
// new record reaches the storage while its name still gives the old one, the directory after the
// name gives the new one.
TEST_F(RecordFileTest, TheRecordIsFlushedBeforeItIsNamedAndItsDirectoryAfter) {
    ManualRecordFile record(path_, ::geteuid());
    ASSERT_TRUE(record.claim(kSessionDir, {}, false));
    const std::string old_record = content();
    flush_watched = path_;
    const StorageFlush platform = replace_storage_flush(record_flush);
    const bool saved = record.save({0}, true);
    replace_storage_flush(platform);
    ASSERT_TRUE(saved);

    struct stat placed {};
    struct stat folder {};
    ASSERT_EQ(::stat(path_.c_str(), &placed), 0);
    ASSERT_EQ(::stat(dir_.c_str(), &folder), 0);
    ASSERT_EQ(flushes_seen.size(), 2u);
    EXPECT_FALSE(flushes_seen[0].directory);
    EXPECT_EQ(flushes_seen[0].inode, placed.st_ino);
    EXPECT_EQ(flushes_seen[0].named_then, old_record);
    EXPECT_TRUE(flushes_seen[1].directory);
    EXPECT_EQ(flushes_seen[1].inode, folder.st_ino);
    EXPECT_EQ(flushes_seen[1].named_then, content());
}

// A dead helper's fan whose mode cannot be read may still be manual: it stays listed, with every
// directory the record names, until a read shows it automatic.
TEST_F(RecordFileTest, ARecoveredFanLeavesTheRecordOnlyOnceItReadsAutomatic) {
    plant(encode_manual_record({"", {0}, false}));
    ManualRecordFile record(path_, ::geteuid());
    ASSERT_TRUE(record.take_over().has_value());
    ControllerRig rig(FakeHardware::apple_silicon(1));
    rig.controller.record_manual = [&record](const std::set<std::int64_t>& fans, bool ftst) {
        return record.save(fans, ftst);
    };
    rig.smc().set_ui8("F0md", 1);
    bool unreadable = true;
    rig.smc().read_fault = [&unreadable](std::string_view key) -> std::optional<std::string> {
        if (key == "F0md" && unreadable) return "F0md 접근 실패 (0xe00002bc)";
        return std::nullopt;
    };
    EXPECT_FALSE(take_back_recorded_fans(rig.controller, *decode_manual_record(content())).has_value());

    // A directory that cannot be made is not named; one that is made is, and the fan with either.
    const std::string taken = dir_ + "/taken";
    ASSERT_EQ(::mkdir(taken.c_str(), 0711), 0);
    EXPECT_EQ(error_of(claim_session_directory(record, &rig.controller, taken, false)), kSessionDirFailed);
    EXPECT_EQ(decode_manual_record(content()), (ManualRecord{"", {0}, false}));
    const std::string made = dir_ + "/session";
    ASSERT_TRUE(claim_session_directory(record, &rig.controller, made, false).has_value());
    EXPECT_EQ(decode_manual_record(content()), (ManualRecord{made, {0}, false}));

    EXPECT_FALSE(rig.controller.check_safety().has_value());
    EXPECT_EQ(decode_manual_record(content()), (ManualRecord{made, {0}, false}));
    unreadable = false;
    ASSERT_TRUE(rig.controller.check_safety().has_value());
    EXPECT_EQ(rig.smc().stored("F0md"), 0);
    EXPECT_EQ(decode_manual_record(content()), (ManualRecord{made, {}, false}));
}

}  // namespace
