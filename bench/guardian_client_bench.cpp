// guardian_client_bench HASH COUNT: round trips through the front end's client, as the
// registered user: COUNT pings, then COUNT start-and-stop pairs. Prints the median and the 99th
// percentile of each. COUNT 0 starts one 10-minute session and leaves it running. HASH is the
// guardian's code hash; this program must be the registered front end.
#include "Service/wake_helper_client.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

template <typename Body>
std::vector<double> timed(int count, Body body) {
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        body();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

void report(const char* what, const std::vector<double>& ms) {
    const auto at = [&](double q) { return ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1))]; };
    std::printf("%s: %zu round trips, median %.2f ms, p99 %.2f ms, max %.2f ms\n", what, ms.size(), at(0.5), at(0.99),
                ms.back());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("Usage: guardian_client_bench HASH COUNT\n", stderr);
        return 2;
    }
    const std::string hash = argv[1];
    const int count = std::atoi(argv[2]);
    if (count < 0) return 2;
    try {
        const WakeHelperClient client;
        if (count == 0) {
            std::printf("%s\n", client.request("start", 10, WakeThermalLimit::fair, hash).c_str());
            return 0;
        }
        report("ping", timed(count, [&] { client.request("ping", 0, WakeThermalLimit::fair, hash); }));
        report("start + stop", timed(count, [&] {
                   client.request("start", 10, WakeThermalLimit::fair, hash);
                   client.request("stop", 0, WakeThermalLimit::fair, hash);
               }));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "guardian_client_bench: %s\n", error.what());
        return 1;
    }
}
