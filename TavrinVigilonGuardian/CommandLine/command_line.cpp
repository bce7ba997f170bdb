#include "CommandLine/command_line.hpp"

#include "Engine/wake_ipc_contract.hpp"
#include "Engine/wake_ipc_error.hpp"
#include "Watcher/ensure_watcher.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"
#include "Engine/guardian_lock.hpp"
#include "Engine/output_line.hpp"
#include "Engine/path_trust.hpp"
#include "Watcher/registration.hpp"
#include "Engine/session.hpp"
#include "Engine/state_store.hpp"
#include "Daemon/main_run_loop.hpp"
#include "Daemon/watch.hpp"
#include "sys/decimal.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <exception>
#include <iostream>

std::optional<std::uint32_t> parseUnsigned32(std::string_view text) { return parse_unsigned32(text); }

std::optional<GuardianCommand> parseCommandLine(const std::vector<std::string>& words) {
    using Verb = GuardianCommand::Verb;
    if (words.size() == 1) {
        if (words[0] == "watch") return GuardianCommand{.verb = Verb::watch, .ownerUID = 0, .clientHash = {}};
        if (words[0] == "stop") return GuardianCommand{.verb = Verb::stop, .ownerUID = 0, .clientHash = {}};
        if (words[0] == "restore") return GuardianCommand{.verb = Verb::restore, .ownerUID = 0, .clientHash = {}};
        return std::nullopt;
    }
    if (words.size() == 3 && words[0] == "register") {
        const auto uid = parseUnsigned32(words[1]);
        if (!uid || !WakeIPCContract::validHash(words[2])) return std::nullopt;
        return GuardianCommand{.verb = Verb::registerHelper, .ownerUID = *uid, .clientHash = words[2]};
    }
    return std::nullopt;
}

namespace {

// Runs the command; returns its success line, throws its failure.
std::string dispatch(const GuardianCommand& command) {
    switch (command.verb) {
        case GuardianCommand::Verb::registerHelper:
            // Root never owns the guardian; refused before any lock is taken.
            if (command.ownerUID == 0 || !WakeIPCContract::validHash(command.clientHash)) {
                throw GuardianError("올바르지 않은 설치 정보입니다.");
            }
            registerHelper(command.ownerUID, command.clientHash);
            return "Helper installed.";
        case GuardianCommand::Verb::watch: watch();
        case GuardianCommand::Verb::stop:
            // An administrator's stop ends the session whatever the thermal state.
            withGuardianLock([] { restore("userStopped", false); });
            return "Stopped.";
        case GuardianCommand::Verb::restore:
            // Without a ready watcher nothing would keep watching the setting afterwards, so it is
            // left alone. A data directory on a read-only file system holds no heartbeat, so there
            // no watcher can ever show itself ready, and no marker can be claimed for one to take
            // over either: normal sleep then comes back without it.
            if (!onReadOnlyFileSystem(guardianContext().directory)) ensureWatcher();
            withGuardianLock([] { restore("manualRestore", true); });
            return "Normal sleep restored.";
    }
    throw GuardianError(guardianUsage);
}

}  // namespace

int runCommandLine(const std::vector<std::string>& words, uid_t effectiveUID, std::ostream& out, std::ostream& err) {
    std::exception_ptr failure;
    try {
        // The form first, so that anyone may learn the usage.
        const auto command = parseCommandLine(words);
        if (!command) throw GuardianError(guardianUsage);

        // Then privilege: every command changes or guards a root-owned setting.
        if (effectiveUID != 0) throw GuardianError("Administrator authorization is required.");

        // Files the guardian creates are never writable by others.
        ::umask(022);

        // Never created here: the installer makes it.
        trustedPath(guardianContext().directory, true);

        // The command itself; its success line is the only output.
        const std::string line = dispatch(*command);
        out << line << '\n' << std::flush;
        mirrorToSystemLog(OutputStream::standardOutput, line);
        return 0;
    } catch (...) {
        failure = std::current_exception();
    }
    const std::string description = failureDescription(failure);
    err << description << '\n' << std::flush;
    mirrorToSystemLog(OutputStream::standardError, description);
    return 1;
}

int guardianMain(int argc, char** argv) {
    // First of all, before any thread exists: a stop request that comes while the daemon sets
    // itself up then waits for its run loop, rather than ending it before its launch recovery.
    holdStopRequests();
    // Before the command line is looked at.
    initializeGuardianContext(GuardianContext());
    // A reader of the output that went away must not end the program half-way through a change
    // of the setting; sockets and pipes then report the failure instead.
    std::signal(SIGPIPE, SIG_IGN);
    // An empty argument vector, which older kernels still pass on, is an empty command line.
    const auto words = argc > 0 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
    // Only the daemon keeps them held. A one-shot command may wait long (stop for the guardian
    // lock, restore and register for the watcher) and must stay interruptible; stopped half-way
    // it leaves what a crash would, the marker and the retry record, for the watcher to finish.
    const auto command = parseCommandLine(words);
    if (!command || command->verb != GuardianCommand::Verb::watch) releaseStopRequests();
    return runCommandLine(words, ::geteuid(), std::cout, std::cerr);
}
