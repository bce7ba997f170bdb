#include "session_files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "control/controller_test_rig.hpp"

namespace {

// A private folder standing in for the run directory.
class SessionFilesTest : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the rules trust only root's directories";
        char pattern[] = "/tmp/session-files-test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        base_ = pattern;
    }
    void TearDown() override {
        if (!base_.empty()) std::filesystem::remove_all(base_);
    }

    std::string base_;
};

TEST_F(SessionFilesTest, TheDaemonReusesOnlyARootDirectoryThatNobodyElseMayWrite) {
    const std::string dir = base_ + "/tavrin";
    ASSERT_TRUE(create_session_directory(dir, true).has_value());
    EXPECT_TRUE(create_session_directory(dir, true).has_value());
    EXPECT_EQ(error_of(create_session_directory(dir, false)), kSessionDirFailed);

    ASSERT_EQ(::chmod(dir.c_str(), 0775), 0);
    EXPECT_EQ(error_of(create_session_directory(dir, true)), kSessionDirFailed);
    ASSERT_EQ(::chmod(dir.c_str(), 0711), 0);
    ASSERT_EQ(::chown(dir.c_str(), 60001, 0), 0);
    EXPECT_EQ(error_of(create_session_directory(dir, true)), kSessionDirFailed);
    // A link leading to a sound directory is not that directory.
    ASSERT_EQ(::chown(dir.c_str(), 0, 0), 0);
    std::filesystem::create_directory_symlink(dir, base_ + "/linked");
    EXPECT_EQ(error_of(create_session_directory(base_ + "/linked", true)), kSessionDirFailed);
}

// Everything about it is right but its path: no helper ever made it.
TEST_F(SessionFilesTest, ADeadHelpersDirectoryIsRemovedOnlyAtAPathTheHelperUses) {
    const std::string dir = base_ + "/tavrin";
    ASSERT_EQ(::mkdir(dir.c_str(), 0711), 0);
    std::ofstream(dir + "/" + kSocketFileName) << "";
    remove_dead_session_directory(dir);
    EXPECT_TRUE(std::filesystem::exists(dir + "/" + kSocketFileName));
}

}  // namespace
