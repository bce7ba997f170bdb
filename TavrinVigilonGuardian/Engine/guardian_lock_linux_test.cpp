#include "Engine/guardian_lock.hpp"
#include "Engine/guardian_test_support.hpp"
#include "Engine/guardian_test_support_linux.hpp"
#include "Engine/process_runner.hpp"
#include "Engine/session.hpp"
#include "Engine/sleep_control.hpp"
#include "Engine/state_store.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class GuardianLockTest : public GuardianFixture {
protected:
    std::string lockPath() { return context().lockPath; }

    // Whether another open file description could take the lock right now.
    bool lockIsFree() {
        const int fd = ::open(lockPath().c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return true;
        const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    }

    std::string lockFailure() {
        try {
            withGuardianLock([] {});
        } catch (const GuardianError& error) {
            return error.message;
        }
        return "";
    }

    // Waits (without a fixed delay) until `condition` holds; fails after a generous bound.
    static bool eventually(const std::function<bool()>& condition) {
        for (int i = 0; i < 2000; ++i) {
            if (condition()) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    // Whether the kernel lists a process blocked on a flock of the lock file.
    bool someoneWaitsForLock() {
        struct stat status {};
        if (::stat(lockPath().c_str(), &status) != 0) return false;
        std::ifstream locks("/proc/locks");
        std::string line;
        const std::string inode = ":" + std::to_string(status.st_ino) + " ";
        while (std::getline(locks, line)) {
            if (line.find("->") != std::string::npos && line.find("FLOCK") != std::string::npos &&
                line.find(inode) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(GuardianLockTest, CreatesPrivateLockAndPublishesDescriptorOnlyInsideBody) {
    const mode_t previous = ::umask(022);
    std::optional<int> inside;
    const int result = withGuardianLock([&] {
        inside = context().currentLockFD;
        EXPECT_FALSE(lockIsFree());
        return 7;
    });
    ::umask(previous);
    EXPECT_EQ(result, 7);
    ASSERT_TRUE(inside.has_value());
    EXPECT_EQ(::fcntl(*inside, F_GETFD), -1) << "descriptor still open";
    EXPECT_FALSE(context().currentLockFD.has_value());
    EXPECT_TRUE(lockIsFree());
    struct stat status {};
    ASSERT_EQ(::stat(lockPath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(GuardianLockTest, FailedBodyLeavesLockReleased) {
    EXPECT_THROW(withGuardianLock([]() -> int { throw GuardianError("body failed"); }), GuardianError);
    EXPECT_FALSE(context().currentLockFD.has_value());
    EXPECT_TRUE(lockIsFree());
}

TEST_F(GuardianLockTest, RefusesUnsafeLockFiles) {
    writeText(dir / "target", "");
    ASSERT_EQ(::symlink((dir / "target").c_str(), lockPath().c_str()), 0);
    EXPECT_EQ(lockFailure(), "Cannot open guardian lock.");
    ::unlink(lockPath().c_str());

    writeText(lockPath(), "");
    ::chmod(lockPath().c_str(), 0666);
    EXPECT_EQ(lockFailure(), "Cannot secure guardian lock.");

    ::chmod(lockPath().c_str(), 0600);
    ASSERT_EQ(::chown(lockPath().c_str(), 1000, 1000), 0);
    EXPECT_EQ(lockFailure(), "Cannot secure guardian lock.");

    ::unlink(lockPath().c_str());
    ASSERT_EQ(::mkdir(lockPath().c_str(), 0700), 0);
    EXPECT_NE(lockFailure(), "");
    EXPECT_FALSE(context().currentLockFD.has_value());
}

TEST_F(GuardianLockTest, SecondProcessWaitsForTheFirst) {
    const std::string release = dir / "release";
    const std::string second = dir / "second-ran";
    const pid_t holder = ::fork();
    if (holder == 0) {
        withGuardianLock([&] {
            while (!exists(release)) std::this_thread::sleep_for(5ms);
        });
        ::_exit(0);
    }
    ASSERT_TRUE(eventually([&] { return !lockIsFree(); }));

    const pid_t waiter = ::fork();
    if (waiter == 0) {
        withGuardianLock([&] { writeText(second, "yes"); });
        ::_exit(0);
    }
    ASSERT_TRUE(eventually([&] { return someoneWaitsForLock(); }));
    EXPECT_FALSE(exists(second)) << "ran while the lock was held";

    writeText(release, "");
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    ASSERT_EQ(::waitpid(waiter, &status, 0), waiter);
    EXPECT_TRUE(exists(second));
    EXPECT_TRUE(lockIsFree());
}

// A data directory remounted read-only: the lock is still taken, and every way to end a session
// still turns SleepDisabled off; only what records the end cannot be written.
TEST_F(GuardianLockTest, EveryStopStillRestoresSleepOnAReadOnlyDirectory) {
    withGuardianLock([] {});  // the lock file exists once the guardian has run
    claimSetting();
    machine->pmset.sleepDisabled = true;
    const auto stop = [this](bool isExplicit) {
        return [this, isExplicit] {
            std::string outcome;
            try {
                withGuardianLock([&] { restore("userStopped", isExplicit); });
            } catch (const std::exception& error) {
                outcome = error.what();
            }
            return outcome + (machine->pmset.sleepDisabled ? " SleepDisabled 1" : " SleepDisabled 0") +
                   (markerExists() ? ", marker" : "");
        };
    };
    const std::string unwritable = "Cannot write " + context().statePath + ".";
    EXPECT_EQ(inReadOnlyDirectory(dir.path(), stop(false)), unwritable + " SleepDisabled 0, marker");
    // Someone else's setting, and no marker can be claimed: an explicit restore still forces it off.
    ::unlink(context().markerPath.c_str());
    EXPECT_EQ(inReadOnlyDirectory(dir.path(), stop(true)), unwritable + " SleepDisabled 0");
}

// A child holds the lock as its standard input while it runs, but it dies with a holder that is
// killed: an orphan would keep the lock from the next daemon for as long as it ran.
TEST_F(GuardianLockTest, ChildOfLockHolderDiesWithItAndFreesTheLock) {
    const std::string started = dir / "started";
    const std::string release = dir / "release";
    const pid_t holder = ::fork();
    if (holder == 0) {
        replaceGuardianContextForTesting(GuardianContext(dir.path(), GuardianSystem::production()));
        withGuardianLock([&] {
            run("/bin/sh", {"-c", "echo > '" + started + "'; while [ ! -e '" + release + "' ]; do sleep 0.01; done"},
                60);
        });
        ::_exit(0);
    }
    ASSERT_TRUE(eventually([&] { return exists(started); }));
    ::kill(holder, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);

    EXPECT_TRUE(eventually([&] { return lockIsFree(); })) << "the orphaned child still holds the lock";
    writeText(release, "");  // ends a child that survived all the same
}

}  // namespace
