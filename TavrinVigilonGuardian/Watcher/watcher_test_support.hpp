#pragma once

// Test-only: the guardian's fake machine extended with the launch-control tool, a sleeper that
// advances the fake uptime, one-shot power-management read faults and one log of every tool call.

#include "Engine/atomic_write.hpp"
#include "Engine/guardian_test_support.hpp"
#include "Engine/heartbeat.hpp"
#include "Engine/wake_ipc_error.hpp"
#include "Watcher/launch_control.hpp"
#include "Engine/wake_thermal_limit.hpp"
#include "Engine/wake_guardian_state.hpp"
#include "Engine/sleep_control.hpp"

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

// launchd as the guardian sees it, for its one job.
struct FakeLaunchctl {
    bool loaded = false;
    bool running = false;
    std::set<std::string> failing;  // "print", "bootstrap", "kickstart", "bootout"
    std::function<void()> onStart;  // the daemon process comes up

    std::string run(const std::vector<std::string>& arguments) {
        const std::string verb = arguments.empty() ? "" : arguments[0];
        const std::string target = std::string("system/") + "app.tavrin.vigilon.guardian";
        const bool wellFormed = (arguments.size() == 2 && arguments[1] == target &&
                                 (verb == "print" || verb == "kickstart" || verb == "bootout")) ||
                                (arguments.size() == 3 && verb == "bootstrap" && arguments[1] == "system");
        if (!wellFormed) throw GuardianError("unexpected launchctl call");
        if (failing.contains(verb)) throw GuardianError("launchctl failed: injected " + verb);
        if (verb == "print") {
            if (!loaded) throw GuardianError("launchctl failed: Could not find service");
            return "state = running\n";
        }
        if (verb == "bootstrap") {
            if (loaded) throw GuardianError("launchctl failed: Bootstrap failed: 5: Input/output error");
            loaded = true;
        } else if (verb == "kickstart") {
            if (!loaded) throw GuardianError("launchctl failed: Could not find service");
            if (!running && onStart) onStart();
            running = true;
        } else {
            if (!loaded) throw GuardianError("launchctl failed: Could not find service");
            loaded = false;
            running = false;
        }
        return "";
    }
};

class WatcherFixture : public GuardianFixture {
protected:
    void SetUp() override {
        GuardianFixture::SetUp();
        auto& system = context().system;
        system.run = [this](const std::string& program, const std::vector<std::string>& arguments, double timeout) {
            std::string call = program.substr(program.rfind('/') + 1);
            for (const auto& argument : arguments) call += " " + argument;
            calls.push_back(call);
            timeouts.push_back(timeout);
            if (program == launchctlPath) return launchctl.run(arguments);
            if (arguments == std::vector<std::string>{"-g"} && failingReads > 0) {
                --failingReads;
                throw GuardianError("pmset failed: injected read");
            }
            if (arguments == std::vector<std::string>{"-g"} && garbledReads > 0) {
                --garbledReads;
                return std::string("SleepDisabled maybe\n");
            }
            return machine->pmset.run(program, arguments);
        };
        system.sleep = [this, sleep = system.sleep](double seconds) {
            sleeps.push_back(seconds);
            sleep(seconds);
            if (onSleep) onSleep();
        };
        system.ownCodeHash = [this, hash = system.ownCodeHash] {
            if (ownHashFailure) throw WakeIPCError(*ownHashFailure);
            return hash();
        };
        context().helperPath = dir / "helper";
        context().daemonPath = dir / "helper.plist";
        writeText(context().helperPath, "#!/bin/sh\n");
        ::chmod(context().helperPath.c_str(), 0755);
        writeText(context().daemonPath, "<plist/>\n");
        ::chmod(context().daemonPath.c_str(), 0644);
        launchctl.onStart = [this] { writeHeartbeat(machine->uptime); };
    }

    // A live watcher of this boot, last seen at `uptime`.
    void writeHeartbeat(double uptime) {
        atomicWrite(Heartbeat{.pid = ::getpid(), .bootTime = 42, .uptime = uptime}, context().heartbeatPath, false);
    }

    // What a successful start of `minutes` made `elapsed` seconds ago leaves behind, and what a
    // crashed watcher leaves of it: the marker, the active record, SleepDisabled on.
    WakeGuardianState leaveRunningSession(double minutes, WakeThermalLimit limit, std::int64_t boot = 42,
                                          double elapsed = 0) {
        claimSetting();
        const double startedAt = machine->wallClock - elapsed;
        const double startedUptime = machine->uptime - elapsed;
        WakeGuardianState record;
        record.active = true;
        record.startedAt = startedAt;
        record.expiresAt = startedAt + 60 * minutes;
        record.startedUptime = startedUptime;
        record.deadlineUptime = startedUptime + 60 * minutes;
        record.bootTime = boot;
        record.lastUpdated = machine->wallClock;
        record.thermalLimit = rawValue(limit);
        atomicWrite(record, context().statePath, true);
        machine->pmset.sleepDisabled = true;
        return record;
    }

    // The calls made to one tool ("pmset" or "launchctl"), in order.
    std::vector<std::string> callsOf(const std::string& tool) const {
        std::vector<std::string> selected;
        for (const auto& call : calls) {
            if (call.starts_with(tool + " ")) selected.push_back(call);
        }
        return selected;
    }

    FakeLaunchctl launchctl;
    std::vector<std::string> calls;
    std::vector<double> timeouts;
    std::vector<double> sleeps;
    std::function<void()> onSleep;
    int failingReads = 0;
    int garbledReads = 0;
    std::optional<std::string> ownHashFailure;
};
