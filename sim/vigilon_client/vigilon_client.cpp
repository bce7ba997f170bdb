// vigilon-client VERB [MINUTES] [fair|serious] --expect HASH
//
// Sends one request to the guardian the way the front end does, pinned to the guardian's code
// hash, and prints the guardian's answer on standard output (exit 0) or the error on standard
// error (exit 1), one line either way. MINUTES defaults to 0 and the limit to fair.

#include "Service/xpc_error.hpp"
#include "Service/wake_helper_client.hpp"
#include "Engine/wake_ipc_error.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Arguments {
    std::string verb;
    std::int64_t minutes = 0;
    WakeThermalLimit thermalLimit = WakeThermalLimit::fair;
    std::string expectedHash;
};

std::optional<std::int64_t> wholeNumber(const std::string& text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<Arguments> parse(const std::vector<std::string>& words) {
    Arguments arguments;
    std::vector<std::string> positional;
    bool hashGiven = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--expect") {
            if (hashGiven || i + 1 == words.size()) return std::nullopt;
            arguments.expectedHash = words[++i];
            hashGiven = true;
        } else {
            positional.push_back(words[i]);
        }
    }
    if (!hashGiven || positional.empty() || positional.size() > 3) return std::nullopt;

    arguments.verb = positional[0];
    std::size_t next = 1;
    if (next < positional.size() && positional[next] != "fair" && positional[next] != "serious") {
        const auto minutes = wholeNumber(positional[next]);
        if (!minutes) return std::nullopt;
        arguments.minutes = *minutes;
        ++next;
    }
    if (next < positional.size()) {
        if (positional[next] == "fair")
            arguments.thermalLimit = WakeThermalLimit::fair;
        else if (positional[next] == "serious")
            arguments.thermalLimit = WakeThermalLimit::serious;
        else
            return std::nullopt;
        ++next;
    }
    if (next != positional.size()) return std::nullopt;
    return arguments;
}

int failWith(const std::string& message) {
    std::cerr << message << '\n';
    return 1;
}

constexpr char kUsage[] = "Usage: vigilon-client VERB [MINUTES] [fair|serious] --expect HASH";

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + std::min(argc, 1), argv + argc);
    if (words.size() == 1 && (words[0] == "--help" || words[0] == "-h")) {
        std::cout << kUsage << '\n';
        return 0;
    }
    const auto arguments = parse(words);
    if (!arguments) return failWith(kUsage);

    try {
        const std::string answer = WakeHelperClient().request(arguments->verb, arguments->minutes,
                                                              arguments->thermalLimit, arguments->expectedHash);
        std::cout << answer << '\n';
        return 0;
    } catch (const WakeIPCError& error) {
        return failWith(error.message);
    } catch (const XPCError& error) {
        return failWith(error.description);
    } catch (const std::exception& error) {
        return failWith(error.what());
    }
}
