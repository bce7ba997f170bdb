#include "CommandLine/command_line.hpp"

#include "Watcher/wake_helper_installation.hpp"
#include "Engine/guardian_lock.hpp"
#include "Engine/session.hpp"
#include "Engine/state_store.hpp"
#include "sys/unique_fd.hpp"
#include "Watcher/watcher_test_support.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <sstream>

namespace {

using Verb = GuardianCommand::Verb;
const std::string hash(40, 'b');

TEST(GuardianCommandLine, AcceptsExactlyTheFourForms) {
    EXPECT_EQ(parseCommandLine({"watch"}), (GuardianCommand{Verb::watch, 0, ""}));
    EXPECT_EQ(parseCommandLine({"stop"}), (GuardianCommand{Verb::stop, 0, ""}));
    EXPECT_EQ(parseCommandLine({"restore"}), (GuardianCommand{Verb::restore, 0, ""}));
    EXPECT_EQ(parseCommandLine({"register", "501", hash}), (GuardianCommand{Verb::registerHelper, 501, hash}));
    EXPECT_EQ(parseCommandLine({"register", "+501", hash}), (GuardianCommand{Verb::registerHelper, 501, hash}));
    EXPECT_EQ(parseCommandLine({"register", "4294967295", hash}),
              (GuardianCommand{Verb::registerHelper, 4294967295u, hash}));
    // Refused only later, with its own message.
    EXPECT_EQ(parseCommandLine({"register", "0", hash}), (GuardianCommand{Verb::registerHelper, 0, hash}));

    const std::vector<std::vector<std::string>> rejected = {
        {},
        {"stop", "now"},
        {"Stop"},
        {"watch "},
        {"register", "501"},
        {"register", "501", std::string(40, 'B')},
        {"register", "501", std::string(39, 'b')},
        {"register", "501", hash, "extra"},
        {"register", "4294967296", hash},
        {"register", "-1", hash},
        {"register", "abc", hash},
        {"register", "", hash},
        {"register", "+", hash},
        {"register", " 501", hash},
        {"register", "501 ", hash},
        {"register", "++501", hash},
        {"register", "0x1f5", hash},
        {"restore", "501", hash},
    };
    for (const auto& words : rejected) EXPECT_EQ(parseCommandLine(words), std::nullopt) << words.size();
}

class GuardianCommandLineRun : public WatcherFixture {
protected:
    // Runs the command line; the exit status, with what it wrote in `out` and `err`.
    int run(const std::vector<std::string>& words, uid_t uid = 0) {
        std::ostringstream o, e;
        const int status = runCommandLine(words, uid, o, e);
        out = o.str();
        err = e.str();
        return status;
    }

    void startSession() {
        writeHeartbeat(machine->uptime);
        withGuardianLock([] { start(10, WakeThermalLimit::fair); });
        ASSERT_TRUE(machine->pmset.sleepDisabled);
    }

    bool guardianLockFree() {
        UniqueFd lock(::open(context().lockPath.c_str(), O_RDWR | O_CLOEXEC));
        return lock && ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0;
    }

    std::string stopReason() {
        const auto record = readState();
        return record && record->stopReason ? *record->stopReason : "";
    }

    std::string out, err;
};

TEST_F(GuardianCommandLineRun, AWrongCommandLineGetsTheUsageEvenWithoutRoot) {
    for (const uid_t uid : {0u, 501u}) {
        EXPECT_EQ(run({"stop", "now"}, uid), 1);
        EXPECT_EQ(err, std::string(guardianUsage) + "\n");
        EXPECT_EQ(out, "");
    }
    EXPECT_FALSE(exists(context().lockPath));
}

TEST_F(GuardianCommandLineRun, EveryCommandNeedsRootAndTouchesNothingWithout) {
    for (const auto& words :
         std::vector<std::vector<std::string>>{{"stop"}, {"restore"}, {"watch"}, {"register", "501", hash}}) {
        EXPECT_EQ(run(words, 501), 1);
        EXPECT_EQ(err, "Administrator authorization is required.\n");
    }
    EXPECT_FALSE(exists(context().lockPath));
    EXPECT_TRUE(calls.empty());
}

TEST_F(GuardianCommandLineRun, RootCannotBeRegisteredAsTheOwner) {
    EXPECT_EQ(run({"register", "0", hash}), 1);
    EXPECT_EQ(err, "올바르지 않은 설치 정보입니다.\n");
    EXPECT_FALSE(exists(context().lockPath));
    EXPECT_FALSE(exists(context().installationPath));
}

TEST_F(GuardianCommandLineRun, AnUnsafeDataDirectoryFailsEveryCommand) {
    ::chmod(dir.path().c_str(), 0775);
    for (const auto& words :
         std::vector<std::vector<std::string>>{{"stop"}, {"restore"}, {"watch"}, {"register", "501", hash}}) {
        EXPECT_EQ(run(words), 1);
        EXPECT_EQ(err, "Unsafe ownership or permissions: " + dir.path() + "\n");
    }
    ::chmod(dir.path().c_str(), 0755);

    // A link to a sound directory is no data directory either.
    TempDir elsewhere;
    const std::string link = elsewhere / "TavrinVigilon";
    ASSERT_EQ(::symlink(dir.path().c_str(), link.c_str()), 0);
    auto system = context().system;
    replaceGuardianContextForTesting(GuardianContext(link, system));
    EXPECT_EQ(run({"stop"}), 1);
    EXPECT_EQ(err, "Unsafe ownership or permissions: " + link + "\n");
    EXPECT_TRUE(calls.empty());
}

TEST_F(GuardianCommandLineRun, StopEndsTheSessionWithoutConsultingThermalProtection) {
    startSession();
    machine->thermal = 3;
    EXPECT_EQ(run({"stop"}), 0);
    EXPECT_EQ(out, "Stopped.\n");
    EXPECT_EQ(err, "");
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_EQ(stopReason(), "userStopped");
    EXPECT_EQ(machine->pmset.sleepRequests, 0);
    EXPECT_TRUE(guardianLockFree());
}

TEST_F(GuardianCommandLineRun, RestoreMakesTheWatcherReadyThenForcesNormalSleep) {
    machine->pmset.sleepDisabled = true;  // not the guardian's doing
    EXPECT_EQ(run({"restore"}), 0);
    EXPECT_EQ(out, "Normal sleep restored.\n");
    EXPECT_FALSE(machine->pmset.sleepDisabled);
    EXPECT_EQ(stopReason(), "manualRestore");
    EXPECT_TRUE(launchctl.running);
    EXPECT_TRUE(guardianLockFree());
}

TEST_F(GuardianCommandLineRun, RestoreLeavesTheSettingAloneWhenTheWatcherCannotBeMadeReady) {
    startSession();
    calls.clear();
    launchctl.failing.insert("kickstart");
    EXPECT_EQ(run({"restore"}), 1);
    EXPECT_EQ(err, "launchctl failed: injected kickstart\n");
    EXPECT_EQ(out, "");
    EXPECT_TRUE(machine->pmset.sleepDisabled);
    EXPECT_TRUE(markerExists());
    EXPECT_TRUE(callsOf("pmset").empty());
    EXPECT_TRUE(guardianLockFree());
}

TEST_F(GuardianCommandLineRun, RegisterRecordsTheOwnerAndTheFrontEnd) {
    EXPECT_EQ(run({"register", "+501", hash}), 0);
    EXPECT_EQ(out, "Helper installed.\n");
    const auto installation = WakeHelperInstallation::load();
    EXPECT_EQ(installation.ownerUID, 501u);
    EXPECT_EQ(installation.clientHash, hash);
    EXPECT_EQ(installation.helperHash, machine->codeHash);
}

TEST_F(GuardianCommandLineRun, AWatcherThatCannotVerifyItsInstallationEndsAtSetUp) {
    EXPECT_EQ(run({"watch"}), 1);
    EXPECT_EQ(err, "도우미 설치가 필요합니다.\n");
    EXPECT_TRUE(guardianLockFree());
}

}  // namespace
