#include "sys/peer_judgement.hpp"

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "sys/unique_fd.hpp"

namespace {

std::atomic<int> under_way{0};

std::mutex code_check_mutex;
PeerCodeJudge code_check = peer_code;

PeerCodeJudge current_check() {
    const std::lock_guard lock(code_check_mutex);
    return code_check;
}

// What the judging thread and its asker share; whichever of them lets go last frees it.
struct Verdict {
    std::mutex mutex;
    std::condition_variable given;
    std::optional<PeerCode> code;
};

}  // namespace

PeerCode judge_within(std::function<PeerCode()> judge, double seconds) {
    // Every stuck judgement holds a thread, and whatever its peer handed it, for good.
    if (under_way.fetch_add(1) >= kMaxJudgementsUnderWay) {
        under_way.fetch_sub(1);
        return PeerCode::fails;
    }
    const auto verdict = std::make_shared<Verdict>();
    try {
        std::thread([verdict, judge = std::move(judge)] {
            PeerCode code = PeerCode::fails;
            try {
                code = judge();
            } catch (...) {
                code = PeerCode::fails;
            }
            {
                const std::lock_guard lock(verdict->mutex);
                verdict->code = code;
            }
            verdict->given.notify_all();
            under_way.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        under_way.fetch_sub(1);
        return PeerCode::fails;
    }

    std::unique_lock lock(verdict->mutex);
    const auto limit = std::chrono::duration<double>(seconds);
    if (!verdict->given.wait_for(lock, limit, [&] { return verdict->code.has_value(); })) return PeerCode::fails;
    return *verdict->code;
}

PeerCode peer_code_within(int connection, std::string_view requirement, double seconds) {
    auto own = std::make_shared<UniqueFd>(::fcntl(connection, F_DUPFD_CLOEXEC, 0));
    if (!*own) return PeerCode::fails;
    return judge_within(
        [own, judge = current_check(), text = std::string(requirement)] { return judge(own->get(), text); }, seconds);
}

PeerCodeJudge replace_peer_code_check(PeerCodeJudge judge) {
    const std::lock_guard lock(code_check_mutex);
    return std::exchange(code_check, std::move(judge));
}

int judgements_under_way() { return under_way.load(); }
