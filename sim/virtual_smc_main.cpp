#include <csignal>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "virtual_smc_client_linux.hpp"
#include "virtual_smc_device.hpp"
#include "virtual_smc_socket_linux.hpp"
#include "virtual_smc_types.hpp"

namespace {

constexpr char kControlPath[] = "/var/run/virtual-smc.ctl";

constexpr char kUsage[] =
    "usage: virtual-smc [--profile apple|newer|intel] [--fans N] [--unlock-delay S] [--release-delay S]\n"
    "                   [--stuck] [--load PERCENT] [--socket PATH] [--ctl-socket PATH]\n"
    "       virtual-smc [--ctl-socket PATH] ctl COMMAND [ARGS...]\n"
    "       virtual-smc [--socket PATH] probe info|read KEY | probe write KEY HEXBYTES\n";

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop.store(true); }

int usage_error(const std::string& text) {
    std::fprintf(stderr, "virtual-smc: %s\n%s", text.c_str(), kUsage);
    return 2;
}

struct Arguments {
    std::string profile = "apple";
    int fans = -1;  // the profile's own count
    vsmc::Options options;
    vsmc::SocketPaths paths{smc_record::kVirtualDevicePath, kControlPath};
    std::vector<std::string> rest;  // ctl or probe and its words
};

std::optional<std::string> parse(std::span<char*> args, Arguments& out) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string arg = args[i];
        if (arg == "ctl" || arg == "probe") {
            out.rest.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            return std::nullopt;
        }
        if (arg == "--stuck") {
            out.options.stuck = true;
            continue;
        }
        if (i + 1 >= args.size()) return "missing value or unknown argument: " + arg;
        const std::string value = args[++i];
        const auto number = vsmc::parse_number(value);
        if (arg == "--profile") {
            out.profile = value;
        } else if (arg == "--socket") {
            out.paths.device = value;
        } else if (arg == "--ctl-socket") {
            out.paths.control = value;
        } else if (arg == "--fans" && number && *number >= 0 && *number <= 8 && *number == static_cast<int>(*number)) {
            out.fans = static_cast<int>(*number);
        } else if (arg == "--unlock-delay" && number && *number >= 0 && *number <= 3600) {
            out.options.unlock_delay = *number;
        } else if (arg == "--release-delay" && number && *number >= 0 && *number <= 3600) {
            out.options.release_delay = *number;
        } else if (arg == "--load" && number && *number >= 0 && *number <= 100) {
            out.options.load = *number;
        } else {
            return "bad argument: " + arg + " " + value;
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (const auto error = parse(std::span(argv + 1, static_cast<std::size_t>(argc - 1)), args)) {
        return usage_error(*error);
    }
    if (!args.rest.empty() && args.rest[0] == "ctl") {
        if (args.rest.size() < 2) return usage_error("ctl needs a command");
        return vsmc::run_ctl_client(args.paths.control, {args.rest.begin() + 1, args.rest.end()});
    }
    if (!args.rest.empty()) return vsmc::run_probe(args.paths.device, {args.rest.begin() + 1, args.rest.end()});

    auto profile = vsmc::find_profile(args.profile);
    if (!profile) return usage_error("unknown profile: " + args.profile);
    const int fans = args.fans >= 0 ? args.fans : static_cast<int>(profile->fan_limits.size());

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const double now = vsmc::now_seconds();
    vsmc::Device device(vsmc::Machine(*profile, fans, args.options, now), now);
    std::printf("virtual-smc: profile %s, %d fans, serving %s\n", profile->name.c_str(), fans,
                args.paths.device.c_str());
    std::fflush(stdout);
    if (auto served = vsmc::serve(device, args.paths, g_stop); !served) {
        std::fprintf(stderr, "virtual-smc: %s\n", served.error().c_str());
        return 1;
    }
    return 0;
}
