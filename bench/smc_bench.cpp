// Cost of reading the fans against the SMC this machine offers (inside the simulated machine:
// the virtual device). Prints the structure calls per snapshot, first and steady, the round
// trip of one call, and the time of a whole snapshot.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "control/fan_controller.hpp"
#include "counting_port.hpp"
#include "smc/smc.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
    double median_us;
    double p99_us;
};

Stats stats_of(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

}  // namespace

int main() {
    long calls = 0;
    auto smc = Smc::open(counting_port(SmcPort::production(), calls));
    if (!smc) {
        std::fprintf(stderr, "smc_bench: %s\n", smc.error().message.c_str());
        return 1;
    }
    auto system = FanSystem::production();
    system.thermal_state = [] { return std::int64_t{0}; };
    FanController<Smc> controller(std::move(*smc), std::move(system));

    auto first = controller.snapshot();
    if (!first) {
        std::fprintf(stderr, "smc_bench: %s\n", first.error().message.c_str());
        return 1;
    }
    const long first_calls = calls;
    calls = 0;
    (void)controller.snapshot();
    const long steady_calls = calls;
    std::printf("fans: %zu\n", first->fans.size());
    std::printf("structure calls per snapshot: first %ld (key info included), then %ld\n", first_calls, steady_calls);

    std::vector<double> call_us;
    call_us.reserve(10000);
    for (int i = 0; i < 10000; ++i) {
        const auto t0 = Clock::now();
        (void)controller.hardware.read("F0Ac");
        call_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const Stats call = stats_of(call_us);
    std::printf("one structure call (10000 reads): median %.1f us, p99 %.1f us\n", call.median_us, call.p99_us);

    std::vector<double> snap_us;
    for (int i = 0; i < 1000; ++i) {
        const auto t0 = Clock::now();
        (void)controller.snapshot();
        snap_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const Stats snap = stats_of(snap_us);
    std::printf("whole snapshot (1000): median %.1f us, p99 %.1f us (%.1f x one call; %ld calls)\n", snap.median_us,
                snap.p99_us, snap.median_us / call.median_us, steady_calls);
    return 0;
}
