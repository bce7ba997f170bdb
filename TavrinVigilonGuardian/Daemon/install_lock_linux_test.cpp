#include "Daemon/install_lock.hpp"

#include "Engine/guardian_test_support.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

const char* const cannotOpen = "도우미 설치 잠금을 확인할 수 없습니다.";
const char* const unsafe = "안전하지 않은 설치 잠금입니다.";
const char* const busy = "설치 또는 제거가 진행 중입니다. 잠시 후 다시 시도해 주세요.";

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

class InstallLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeText(path, "");
        ::chmod(path.c_str(), 0600);
    }

    // The message a hold fails with, or "" when it is granted.
    std::string failureOf(const std::string& lockPath) {
        try {
            const InstallLockHold hold(lockPath);
            return "";
        } catch (const GuardianError& error) {
            return error.message;
        }
    }

    TempDir dir;
    std::string path = dir / "install.lock";
};

TEST_F(InstallLockTest, ASoundFreeLockIsHeldForTheScopeOnly) {
    const auto before = openDescriptors();
    {
        const InstallLockHold hold(path);
        UniqueFd other(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        EXPECT_NE(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
    }
    UniqueFd other(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    EXPECT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
    other.reset();
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(InstallLockTest, AMissingFileOrALinkCannotBeOpenedAndIsNeverCreated) {
    EXPECT_EQ(failureOf(dir / "missing.lock"), cannotOpen);
    EXPECT_FALSE(exists(dir / "missing.lock"));
    ::symlink(path.c_str(), (dir / "link.lock").c_str());
    EXPECT_EQ(failureOf(dir / "link.lock"), cannotOpen);
}

TEST_F(InstallLockTest, AnythingOthersCouldReadOrThatIsNotRootsIsUnsafe) {
    const auto before = openDescriptors();
    for (const mode_t mode : {0640, 0604, 0660, 0610}) {
        ::chmod(path.c_str(), mode);
        EXPECT_EQ(failureOf(path), unsafe) << std::oct << mode;
    }
    ::chmod(path.c_str(), 0600);
    ASSERT_EQ(::chown(path.c_str(), 501, 501), 0);
    EXPECT_EQ(failureOf(path), unsafe);
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(InstallLockTest, AHeldLockIsReportedAtOnceAndNotWaitedFor) {
    const auto before = openDescriptors();
    UniqueFd installer(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::flock(installer.get(), LOCK_EX), 0);
    EXPECT_EQ(failureOf(path), busy);
    installer.reset();
    EXPECT_EQ(failureOf(path), "");
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
