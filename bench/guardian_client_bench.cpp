// guardian_client_bench HASH COUNT: round trips through the front end's client, as the
// registered user: COUNT pings, then COUNT start-and-stop pairs. Prints the median and the 99th
// percentile of each. COUNT 0 starts one 10-minute session and leaves it running. HASH is the
// guardian's code hash; this program must be the registered front end.
#include "Service/wake_helper_client.hpp"
#include "timing.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

void report(const char* what, const std::vector<double>& ms) {
    std::printf("%s: %zu round trips, median %.2f ms, p99 %.2f ms, max %.2f ms\n", what, ms.size(), quantile(ms, 0.5),
                quantile(ms, 0.99), ms.back());
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
        report("ping", timed_ms(count, [&] { client.request("ping", 0, WakeThermalLimit::fair, hash); }));
        report("start + stop", timed_ms(count, [&] {
                   client.request("start", 10, WakeThermalLimit::fair, hash);
                   client.request("stop", 0, WakeThermalLimit::fair, hash);
               }));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "guardian_client_bench: %s\n", error.what());
        return 1;
    }
}
