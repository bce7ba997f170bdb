// Cost of a guardian session's start and of a successful restore against the real
// power-management tool (inside the simulated machine: the substitute), as the daemon runs
// them: under the guardian lock, with the production clocks and readings. Prints the child
// processes each starts and the median and p99 wall time over N rounds (default 100).
// Files flushed are counted from the outside (bench/guardian_session_bench.sh, with strace).
//
// Runs as root: the data directory (a fresh temporary one) must be root-owned.
#include "Engine/guardian_context.hpp"
#include "Engine/guardian_lock.hpp"
#include "Engine/heartbeat.hpp"
#include "Engine/atomic_write.hpp"
#include "Engine/wake_thermal_limit.hpp"
#include "Engine/session.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    std::vector<double> ms;
    long children = 0;
};

void print(const char* what, Figures& figures, int rounds) {
    std::sort(figures.ms.begin(), figures.ms.end());
    std::printf("%-8s %d rounds: %.1f child processes each, median %.2f ms, p99 %.2f ms\n", what, rounds,
                static_cast<double>(figures.children) / rounds, figures.ms[figures.ms.size() / 2],
                figures.ms[std::min(figures.ms.size() - 1, figures.ms.size() * 99 / 100)]);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
    if (::geteuid() != 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: guardian_session_bench [ROUNDS] (as root)\n");
        return 2;
    }
    ::umask(022);
    std::string directory = (std::filesystem::temp_directory_path() / "guardian-session.XXXXXX").string();
    if (::mkdtemp(directory.data()) == nullptr) return 1;
    ::chmod(directory.c_str(), 0755);

    long children = 0;
    GuardianSystem system = GuardianSystem::production();
    const ProcessRunner run = system.run;
    system.run = [&children, run](const std::string& program, const std::vector<std::string>& arguments,
                                  double timeout) {
        ++children;
        return run(program, arguments, timeout);
    };
    replaceGuardianContextForTesting(GuardianContext(directory, system));
    GuardianContext& context = guardianContext();

    Figures started, restored;
    try {
        for (int i = 0; i < rounds; ++i) {
            // The watcher's proof of life, which start insists on; not part of the figures.
            const Heartbeat beat{static_cast<std::int32_t>(::getpid()), context.system.bootTime(),
                                 context.system.uptime()};
            atomicWrite(beat, context.heartbeatPath, false);

            children = 0;
            auto t0 = Clock::now();
            withGuardianLock([] { start(10, WakeThermalLimit::fair); });
            started.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            started.children += children;

            children = 0;
            t0 = Clock::now();
            withGuardianLock([] { restore("userStopped", false); });
            restored.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            restored.children += children;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "guardian_session_bench: %s\n", error.what());
        return 1;
    }
    print("start", started, rounds);
    print("restore", restored, rounds);
    std::filesystem::remove_all(directory);
    return 0;
}
