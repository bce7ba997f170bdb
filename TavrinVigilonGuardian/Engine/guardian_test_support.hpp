#pragma once

// Test-only helpers: temporary data directories and a fake machine behind the guardian's seams.

#include "Engine/guardian_context.hpp"
#include "Engine/guardian_error.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// A fresh directory (mode 0700, root-owned when tests run as root), removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "guardian-test.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

inline bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

// The power-management tool as the guardian sees it: a setting, a report and injectable faults
// per verb ("get", "set", "sleepnow").
struct FakePmset {
    bool sleepDisabled = false;
    std::set<std::string> failing;
    bool ignoreSet = false;
    std::optional<std::string> report;  // replaces the whole "-g" answer
    int sleepRequests = 0;
    std::vector<std::string> calls;

    std::string run(const std::string& program, const std::vector<std::string>& arguments) {
        std::string call = program;
        for (const auto& argument : arguments) call += " " + argument;
        calls.push_back(call);
        const std::string verb = arguments == std::vector<std::string>{"-g"}               ? "get"
                                 : arguments == std::vector<std::string>{"sleepnow"}       ? "sleepnow"
                                 : arguments.size() == 3 && arguments[1] == "disablesleep" ? "set"
                                                                                           : "other";
        if (program != "/usr/bin/pmset" || verb == "other") throw GuardianError("unexpected call: " + call);
        if (failing.contains(verb)) throw GuardianError("pmset failed: injected " + verb);
        if (verb == "get") {
            if (report) return *report;
            return std::string("System-wide power settings:\n SleepDisabled\t\t") + (sleepDisabled ? "1" : "0") + "\n";
        }
        if (verb == "set") {
            if (!ignoreSet) sleepDisabled = arguments[2] == "1";
            return "";
        }
        ++sleepRequests;
        return "";
    }
};

// Clocks, readings and tools of a machine that the test sets by hand.
struct FakeMachine {
    double uptime = 1000;
    double safetyClock = 5000;
    double wallClock = 1'700'000'000;
    std::deque<std::int64_t> thermalReadings;  // consumed one per reading; then `thermal`
    std::int64_t thermal = 0;
    std::optional<std::int64_t> bootIdentity = 42;
    std::optional<std::int64_t> battery = 80;
    std::string codeHash = std::string(40, 'c');  // the running guardian's own code hash
    FakePmset pmset;

    static GuardianSystem systemOf(const std::shared_ptr<FakeMachine>& machine) {
        return GuardianSystem{
            .run = [machine](const std::string& program, const std::vector<std::string>& arguments,
                             double) { return machine->pmset.run(program, arguments); },
            .uptime = [machine] { return machine->uptime; },
            .safetyClock = [machine] { return machine->safetyClock; },
            .wallClock = [machine] { return machine->wallClock; },
            .thermalState =
                [machine] {
                    if (machine->thermalReadings.empty()) return machine->thermal;
                    const auto reading = machine->thermalReadings.front();
                    machine->thermalReadings.pop_front();
                    return reading;
                },
            .bootTime =
                [machine] {
                    if (!machine->bootIdentity) throw GuardianError("Cannot read boot identity.");
                    return *machine->bootIdentity;
                },
            .batteryPercent = [machine] { return machine->battery; },
            .sleep =
                [machine](double seconds) {
                    machine->uptime += seconds;
                    machine->safetyClock += seconds;
                    machine->wallClock += seconds;
                },
            .ownCodeHash = [machine] { return machine->codeHash; },
        };
    }
};

// A guardian context over a temporary data directory and a fake machine.
class GuardianFixture : public ::testing::Test {
protected:
    void SetUp() override {
        machine = std::make_shared<FakeMachine>();
        replaceGuardianContextForTesting(GuardianContext(dir.path(), FakeMachine::systemOf(machine)));
    }

    GuardianContext& context() { return guardianContext(); }

    TempDir dir;
    std::shared_ptr<FakeMachine> machine;
};
