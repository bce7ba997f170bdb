#include "manual_record.hpp"

#include <nlohmann/json.hpp>

#include "ipc/socket_server.hpp"
#include "session_files.hpp"
#include "sys/durable_file.hpp"
#include "sys/json_in.hpp"
#include "sys/json_out.hpp"

namespace {

using Json = nlohmann::json;

// The controller never sees more fans than this (the SMC's fan count is at most 8).
constexpr std::int64_t kHighestFanId = 7;

}  // namespace

std::string encode_manual_record(const ManualRecord& record) {
    std::string out = "{\"directory\":";
    append_json_string(out, record.directory);
    out += ",\"fans\":[";
    bool first = true;
    for (const std::int64_t id : record.fans) {
        if (!first) out += ',';
        first = false;
        append_json_int(out, id);
    }
    out += "],\"ftst\":";
    out += record.ftst ? "true" : "false";
    out += '}';
    return out;
}

std::optional<ManualRecord> decode_manual_record(std::string_view text) {
    const std::optional<Json> parsed = parse_json_strictly(text);
    if (!parsed || !parsed->is_object() || parsed->size() != 3) return std::nullopt;
    const auto directory = parsed->find("directory");
    const auto fans = parsed->find("fans");
    const auto ftst = parsed->find("ftst");
    if (directory == parsed->end() || !directory->is_string() || fans == parsed->end() || !fans->is_array() ||
        ftst == parsed->end() || !ftst->is_boolean()) {
        return std::nullopt;
    }

    ManualRecord record;
    record.directory = directory->get<std::string>();
    record.ftst = ftst->get<bool>();
    for (const Json& id : *fans) {
        if (!id.is_number_integer()) return std::nullopt;
        // An unsigned literal beyond the signed range comes out negative here and is refused.
        const auto value = id.get<std::int64_t>();
        if (value < 0 || value > kHighestFanId || !record.fans.insert(value).second) return std::nullopt;
    }
    return record;
}

bool is_helper_session_directory(std::string_view path) {
    if (path == parent_directory(kDaemonSocketPath)) return true;
    constexpr std::string_view kPrefix = "/var/run/fantavrin.";
    if (!path.starts_with(kPrefix)) return false;
    const FanResult<std::string> socket = session_path(path.substr(kPrefix.size()));
    return socket && parent_directory(*socket) == path;
}
