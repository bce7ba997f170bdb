#include "manual_record.hpp"
#include "manual_record_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

TEST_F(RecordFileTest, ARecordNotWrittenByTheHelperIsRemovedUnread) {
    const std::string good = encode_manual_record({kSessionDir, {0}, false});
    for (const auto& [text, mode] : {std::pair{good, mode_t{0620}},
                                     {good, mode_t{0602}},
                                     {std::string("{"), mode_t{0600}},
                                     {std::string(5000, ' '), mode_t{0600}}}) {
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

}  // namespace
