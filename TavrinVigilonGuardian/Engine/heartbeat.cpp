#include "Engine/heartbeat.hpp"

#include "Engine/json_record.hpp"
#include "Engine/state_store.hpp"

#include <csignal>
#include <limits>

namespace {
constexpr double freshness = 6;
}

std::string encodeJSON(const Heartbeat& heartbeat) {
    JsonObjectWriter out;
    out.addInteger("pid", heartbeat.pid);
    out.addInteger("bootTime", heartbeat.bootTime);
    out.addNumber("uptime", heartbeat.uptime);
    return out.finish();
}

std::optional<Heartbeat> decodeHeartbeat(std::string_view text) {
    return decodeRecord(text, [](const JsonRecordReader& in) -> std::optional<Heartbeat> {
        Heartbeat heartbeat;
        const std::int64_t pid = in.requiredInteger("pid");
        if (pid < std::numeric_limits<std::int32_t>::min() || pid > std::numeric_limits<std::int32_t>::max()) {
            return std::nullopt;
        }
        heartbeat.pid = static_cast<std::int32_t>(pid);
        heartbeat.bootTime = in.requiredInteger("bootTime");
        heartbeat.uptime = in.requiredNumber("uptime");
        return heartbeat;
    });
}

std::optional<Heartbeat> readHeartbeat(const std::string& path) {
    try {
        return decodeHeartbeat(readTrustedFile(path));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool heartbeatIsFresh(const Heartbeat& heartbeat, std::int64_t bootTime, double uptime) {
    if (bootTime < 1 || bootTime != heartbeat.bootTime) return false;
    if (heartbeat.pid < 2 || ::kill(heartbeat.pid, 0) != 0) return false;
    const double age = uptime - heartbeat.uptime;
    return age >= 0 && age < freshness;
}
