// A load driver for the fan helper's control socket, used by the stress script and for the
// round-trip figures. Every request is one connection, as the front end does it.
//
//   serve_load SOCKET requests N LINE   N requests in a row; prints median and p99 round trip
//   serve_load SOCKET refused N         N connections that must be closed without a byte
//   serve_load SOCKET silent N          N concurrent clients that never send a line feed; each
//                                       must be answered with an error; heartbeats interleaved
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sys/unique_fd.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Connects, retrying while the listen backlog is full.
UniqueFd connect_to(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
    for (int attempt = 0; attempt < 2000; ++attempt) {
        UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd) return fd;
        if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
        if (errno != EAGAIN && errno != ECONNREFUSED) return UniqueFd();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return UniqueFd();
}

bool send_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Everything the helper sends until it closes.
std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

// One request; the reply line, or empty when none came.
std::string exchange(const char* path, const std::string& line) {
    UniqueFd fd = connect_to(path);
    if (!fd || !send_all(fd.get(), line + "\n")) return {};
    return read_all(fd.get());
}

void print_stats(const char* what, std::vector<double> us) {
    std::sort(us.begin(), us.end());
    std::printf("%s: %zu requests, median %.0f us, p99 %.0f us, max %.0f us\n", what, us.size(), us[us.size() / 2],
                us[std::min(us.size() - 1, us.size() * 99 / 100)], us.back());
}

int run_requests(const char* path, long count, const std::string& line) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    long missing = 0;
    for (long i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        const std::string reply = exchange(path, line);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (reply.empty() || reply.back() != '\n' || reply.find("\"error\"") != std::string::npos) {
            if (++missing <= 3) std::fprintf(stderr, "bad reply %ld: [%s]\n", i, reply.c_str());
        }
    }
    print_stats(line.c_str(), us);
    std::printf("requests without a good reply: %ld\n", missing);
    return missing == 0 ? 0 : 1;
}

int run_refused(const char* path, long count) {
    long answered = 0, connected = 0;
    for (long i = 0; i < count; ++i) {
        UniqueFd fd = connect_to(path);
        if (!fd) continue;
        ++connected;
        send_all(fd.get(), "{\"command\":\"ping\"}\n");
        if (!read_all(fd.get()).empty()) ++answered;
    }
    std::printf("refused peer: %ld attempts, %ld connected, %ld received any byte\n", count, connected, answered);
    return answered == 0 ? 0 : 1;
}

int run_silent(const char* path, long count) {
    std::atomic<long> answered{0}, wrong{0};
    std::vector<std::thread> clients;
    std::vector<double> waits(static_cast<std::size_t>(count), 0.0);
    for (long i = 0; i < count; ++i) {
        clients.emplace_back([&, i] {
            // Groups of three, so that the backlog is never full for long and the session
            // user's requests still reach the front.
            std::this_thread::sleep_for(std::chrono::seconds(i / 3 * 3));
            UniqueFd fd = connect_to(path);
            if (!fd) return ++wrong, void();
            const auto t0 = Clock::now();
            send_all(fd.get(), "{\"command\":");  // never a line feed
            const std::string reply = read_all(fd.get());
            waits[static_cast<std::size_t>(i)] = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            if (reply == "{\"error\":\"보조 프로세스 연결이 끊겼습니다.\"}\n" ||
                reply == "{\"error\":\"요청 크기 초과\"}\n") {
                ++answered;
            } else {
                ++wrong;
            }
        });
    }
    // The session user's own requests keep the session alive and are answered in between.
    std::vector<double> beats;
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        for (auto& c : clients) c.join();
        done = true;
    });
    long beat_failures = 0;
    while (!done) {
        const auto t0 = Clock::now();
        if (exchange(path, "{\"command\":\"heartbeat\"}").find("\"snapshot\"") == std::string::npos) {
            ++beat_failures;
        }
        beats.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    waiter.join();
    std::printf("silent clients: %ld answered with the read error, %ld otherwise\n", answered.load(), wrong.load());
    print_stats("silent clients, connect to answer", waits);
    print_stats("interleaved heartbeats", beats);
    std::printf("heartbeats without a snapshot: %ld\n", beat_failures);
    return wrong == 0 && beat_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: serve_load SOCKET requests|refused|silent N [LINE]\n");
        return 2;
    }
    const char* path = argv[1];
    const std::string mode = argv[2];
    const long count = std::strtol(argv[3], nullptr, 10);
    if (mode == "requests" && argc == 5) return run_requests(path, count, argv[4]);
    if (mode == "refused") return run_refused(path, count);
    if (mode == "silent") return run_silent(path, count);
    std::fprintf(stderr, "serve_load: unknown mode %s\n", mode.c_str());
    return 2;
}
