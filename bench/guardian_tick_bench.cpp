// CPU cost of the guardian's watch tick: 1,000 ticks without a session and 1,000 with one
// (status work every third tick, as at one tick a second), and how many child processes a
// session costs per minute of watching.
//
//   guardian_tick_bench               power-management tool answered in process
//   guardian_tick_bench --real-pmset  the real /usr/bin/pmset (run it inside the simulated
//                                      machine, where that is the substitute)
//
// Runs as root: the data directory must be root-owned. Clocks are made up and advance one
// second per tick, so nothing waits.
#include "Engine/wake_guardian_state.hpp"
#include "Engine/atomic_write.hpp"
#include "Engine/guardian_context.hpp"
#include "Engine/process_runner.hpp"
#include "Engine/sleep_control.hpp"
#include "Watcher/watch_tick.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Clocks {
    double uptime = 1000;
    double safety = 5000;
    double wall = 1'700'000'000;
    bool sleepDisabled = false;
    long children = 0;  // tool runs
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

struct CpuTime {
    double self = 0;
    double children = 0;
};

CpuTime cpuNow() {
    rusage self{};
    rusage children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    return {seconds(self.ru_utime) + seconds(self.ru_stime), seconds(children.ru_utime) + seconds(children.ru_stime)};
}

GuardianSystem systemOf(const std::shared_ptr<Clocks>& clocks, bool realPmset) {
    return GuardianSystem{
        .run =
            [clocks, realPmset](const std::string& program, const std::vector<std::string>& arguments, double timeout) {
                ++clocks->children;
                if (realPmset) return ::run(program, arguments, timeout);
                if (arguments.size() == 3) clocks->sleepDisabled = arguments[2] == "1";
                return std::string("System-wide power settings:\n SleepDisabled\t\t") +
                       (clocks->sleepDisabled ? "1" : "0") + "\n";
            },
        .uptime = [clocks] { return clocks->uptime; },
        .safetyClock = [clocks] { return clocks->safety; },
        .wallClock = [clocks] { return clocks->wall; },
        .thermalState = [] { return std::int64_t{0}; },
        .bootTime = [] { return std::int64_t{42}; },
        .batteryPercent = [] { return std::optional<std::int64_t>(80); },
        .sleep = [](double) {},
        .ownCodeHash = [] { return std::string(40, 'c'); },
    };
}

void startSession(const std::shared_ptr<Clocks>& clocks) {
    auto& context = guardianContext();
    claimSetting();
    WakeGuardianState record;
    record.active = true;
    record.startedAt = clocks->wall;
    record.expiresAt = clocks->wall + 86400;
    record.startedUptime = clocks->uptime;
    record.deadlineUptime = clocks->uptime + 86400;
    record.bootTime = 42;
    record.lastUpdated = clocks->wall;
    record.thermalLimit = 1;
    atomicWrite(record, context.statePath, true);
    setSleepDisabled(true);
}

struct Result {
    CpuTime cpu;
    long children = 0;
};

Result ticks(const std::shared_ptr<Clocks>& clocks, int count) {
    const long childrenBefore = clocks->children;
    const CpuTime before = cpuNow();
    for (int i = 0; i < count; ++i) {
        clocks->uptime += 1;
        clocks->safety += 1;
        clocks->wall += 1;
        watchTick(std::nullopt);
    }
    const CpuTime after = cpuNow();
    return {{after.self - before.self, after.children - before.children}, clocks->children - childrenBefore};
}

void print(const char* what, const Result& result, int count) {
    std::printf(
        "%-34s %5d ticks: cpu %8.3f ms self + %8.3f ms children = %8.3f ms (%.1f us per tick), %ld child processes\n",
        what, count, result.cpu.self * 1e3, result.cpu.children * 1e3, (result.cpu.self + result.cpu.children) * 1e3,
        (result.cpu.self + result.cpu.children) * 1e6 / count, result.children);
}

}  // namespace

int main(int argc, char** argv) {
    const bool realPmset = argc == 2 && std::string(argv[1]) == "--real-pmset";
    if (argc > 2 || (argc == 2 && !realPmset)) {
        std::fprintf(stderr, "usage: guardian_tick_bench [--real-pmset]\n");
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "guardian_tick_bench: must run as root (the data directory must be root-owned)\n");
        return 2;
    }
    ::umask(022);
    std::string directory = (std::filesystem::temp_directory_path() / "guardian-bench.XXXXXX").string();
    if (::mkdtemp(directory.data()) == nullptr) return 1;

    const auto clocks = std::make_shared<Clocks>();
    replaceGuardianContextForTesting(GuardianContext(directory, systemOf(clocks, realPmset)));
    std::printf("power-management tool: %s\n", realPmset ? "/usr/bin/pmset (real process)" : "answered in process");

    constexpr int count = 1000;
    std::fprintf(stderr, "guardian_tick_bench: %d ticks without and %d with a session%s\n", count, count,
                 realPmset ? " (about ten seconds with the real tool)" : "");
    print("without a session", ticks(clocks, count), count);
    startSession(clocks);
    print("with a session (status every 3 s)", ticks(clocks, count), count);
    const Result minute = ticks(clocks, 60);
    std::printf("child processes per minute of a session: %ld\n", minute.children);

    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    return 0;
}
