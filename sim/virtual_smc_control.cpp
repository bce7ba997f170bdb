#include "virtual_smc_control.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <sstream>

#include "virtual_smc_types.hpp"

namespace vsmc {

namespace {

using nlohmann::ordered_json;

ControlReply fail(std::string reason) { return {false, std::move(reason)}; }

std::optional<int> parse_count(const std::string& text) {
    if (text == "always") return -1;
    const auto n = parse_unsigned(text);
    if (!n || *n == 0 || *n > 1000000) return std::nullopt;
    return static_cast<int>(*n);
}

std::optional<unsigned> parse_ops(const std::string& text) {
    unsigned ops = 0;
    std::stringstream list(text);
    for (std::string op; std::getline(list, op, ',');) {
        if (op == "info")
            ops |= kOpInfo;
        else if (op == "read")
            ops |= kOpRead;
        else if (op == "write")
            ops |= kOpWrite;
        else if (op == "any")
            ops |= kOpAll;
        else
            return std::nullopt;
    }
    if (ops == 0) return std::nullopt;
    return ops;
}

std::optional<double> parse_seconds(const std::string& text) {
    const auto v = parse_number(text);
    if (!v || *v < 0 || *v > 3600) return std::nullopt;
    return v;
}

bool valid_key(const std::string& key) { return key.size() == 4; }

ControlReply set_value(Device& device, const std::vector<std::string>& w, double now) {
    if (w.size() != 3) return fail("usage: set KEY VALUE");
    const auto& keys = device.machine().keys();
    const auto it = keys.find(w[1]);
    if (it == keys.end()) return fail("unknown key \"" + w[1] + "\" (create it with retype)");
    const auto value = parse_number(w[2]);
    if (!value) return fail("not a number: " + w[2]);
    auto bytes = encode_number(it->second.type, *value);
    if (!bytes || bytes->size() != it->second.bytes.size()) {
        return fail(w[2] + " does not fit type \"" + it->second.type + "\" of " +
                    std::to_string(it->second.bytes.size()) + " bytes");
    }
    device.machine().set(w[1], it->second.type, std::move(*bytes), now);
    return {};
}

ControlReply retype(Device& device, const std::vector<std::string>& w, double now) {
    if (w.size() != 4) return fail("usage: retype KEY TYPE HEXBYTES");
    if (!valid_key(w[1])) return fail("a key has four characters: \"" + w[1] + "\"");
    if (w[2].empty() || w[2].size() > 4) return fail("a type has one to four characters: \"" + w[2] + "\"");
    auto bytes = from_hex(w[3]);
    if (!bytes || bytes->empty() || bytes->size() > smc_record::kBytesCapacity) {
        return fail("1 to 32 bytes in hexadecimal expected: " + w[3]);
    }
    device.machine().set(w[1], pad_type(w[2]), std::move(*bytes), now);
    return {};
}

ControlReply get(const Device& device, const std::vector<std::string>& w) {
    if (w.size() != 2) return fail("usage: get KEY");
    const auto& keys = device.machine().keys();
    const auto it = keys.find(w[1]);
    if (it == keys.end()) return fail("unknown key \"" + w[1] + "\"");
    if (const auto v = decode_number(it->second.type, it->second.bytes)) return {true, format_number(*v)};
    return {true, "\"" + it->second.type + "\" " + to_hex(it->second.bytes)};
}

ControlReply fault(Device& device, const std::vector<std::string>& w) {
    if (w[0] == "refuse") {
        if (w.size() != 3) return fail("usage: refuse KEY COUNT");
        const auto count = parse_count(w[2]);
        if (!valid_key(w[1]) || !count) return fail("usage: refuse KEY COUNT");
        device.add_fault({w[1], *count, kOpWrite, false, smc_record::kResultRefused, false});
        return {};
    }
    // fail KEY COUNT rc|result CODE [OPS] [applied]
    if (w.size() < 5 || w.size() > 7) return fail("usage: fail KEY COUNT rc|result CODE [OPS] [applied]");
    const auto count = parse_count(w[2]);
    const auto code = parse_unsigned(w[4]);
    if (!valid_key(w[1]) || !count || (w[3] != "rc" && w[3] != "result") || !code || *code > 0xffffffffu ||
        (w[3] == "result" && (*code == 0 || *code > 0xff)) || (w[3] == "rc" && *code == 0)) {
        return fail("usage: fail KEY COUNT rc|result CODE [OPS] [applied]");
    }
    Fault f{w[1], *count, kOpAll, w[3] == "rc", static_cast<std::uint32_t>(*code), false};
    for (std::size_t i = 5; i < w.size(); ++i) {
        if (w[i] == "applied") {
            f.applied = true;
        } else if (const auto ops = parse_ops(w[i])) {
            f.ops = *ops;
        } else {
            return fail("unknown option \"" + w[i] + "\" (info,read,write,any or applied)");
        }
    }
    device.add_fault(std::move(f));
    return {};
}

ControlReply info_size(Device& device, const std::vector<std::string>& w) {
    if (w.size() != 3 && w.size() != 4) return fail("usage: info-size KEY SIZE [COUNT]");
    const auto size = parse_unsigned(w[2]);
    const auto count = w.size() == 4 ? parse_count(w[3]) : std::optional<int>(-1);
    if (!valid_key(w[1]) || !size || *size > 0xffffffffu || !count) return fail("usage: info-size KEY SIZE [COUNT]");
    device.add_info_size({w[1], *count, static_cast<std::uint32_t>(*size)});
    return {};
}

ControlReply stuck(Device& device, const std::vector<std::string>& w) {
    if ((w.size() != 2 && w.size() != 3) || (w[1] != "on" && w[1] != "off")) return fail("usage: stuck on|off [FAN]");
    std::optional<int> fan;
    if (w.size() == 3) {
        const auto n = parse_unsigned(w[2]);
        if (!n || *n > 64) return fail("usage: stuck on|off [FAN]");
        fan = static_cast<int>(*n);
    }
    if (!device.machine().set_stuck(fan, w[1] == "on")) return fail("no fan " + w[2]);
    return {};
}

}  // namespace

ControlReply run_control(Device& device, const std::vector<std::string>& w, double now) {
    if (w.empty()) return fail("no command");
    device.machine().advance(now);
    const std::string& c = w[0];
    if (c == "set") return set_value(device, w, now);
    if (c == "retype") return retype(device, w, now);
    if (c == "get") return get(device, w);
    if (c == "dump" && w.size() == 1) return {true, dump_state(device, now)};
    if (c == "delete" && w.size() == 2) {
        if (!device.machine().remove(w[1], now)) return fail("unknown key \"" + w[1] + "\"");
        return {};
    }
    if (c == "free" && w.size() == 2) {
        if (!device.machine().free(w[1])) return fail("unknown key \"" + w[1] + "\"");
        return {};
    }
    if (c == "load" && w.size() == 2) {
        const auto v = parse_number(w[1]);
        if (!v || *v < 0 || *v > 100) return fail("usage: load PERCENT (0-100)");
        device.machine().set_load(*v);
        return {};
    }
    if ((c == "unlock-delay" || c == "release-delay") && w.size() == 2) {
        const auto v = parse_seconds(w[1]);
        if (!v) return fail("usage: " + c + " SECONDS (0-3600)");
        if (c == "unlock-delay")
            device.machine().set_unlock_delay(*v);
        else
            device.machine().set_release_delay(*v);
        return {};
    }
    if (c == "stuck") return stuck(device, w);
    if (c == "refuse" || c == "fail") return fault(device, w);
    if (c == "info-size") return info_size(device, w);
    if (c == "clear" && w.size() <= 2) {
        device.clear_faults(w.size() == 2 ? std::optional<std::string>(w[1]) : std::nullopt);
        return {};
    }
    if (c == "reset-counts" && w.size() == 1) {
        device.reset_counts();
        return {};
    }
    return fail("unknown command or wrong arguments: " + c);
}

std::string dump_state(const Device& device, double now) {
    const Machine& m = device.machine();
    ordered_json out;
    out["profile"] = m.profile().name;
    out["uptime"] = now - device.start();
    out["options"] = {{"unlock_delay", m.options().unlock_delay},
                      {"release_delay", m.options().release_delay},
                      {"stuck", m.options().stuck},
                      {"load", m.options().load}};
    ordered_json ftst = {{"unlocked", m.unlocked(now)}};
    if (const auto since = m.ftst_since()) ftst["one_for"] = now - *since;
    out["ftst"] = ftst;
    out["die_temperature"] = m.die_temperature();
    ordered_json fans = ordered_json::array();
    for (std::size_t i = 0; i < m.fans().size(); ++i) {
        const auto& f = m.fans()[i];
        ordered_json fan = {{"id", i}, {"actual", f.actual}, {"stuck", f.stuck}};
        if (f.release_at) fan["release_in"] = *f.release_at - now;
        fans.push_back(fan);
    }
    out["fans"] = fans;
    ordered_json keys = ordered_json::object();
    for (const auto& [name, key] : m.keys()) {
        ordered_json entry = {{"type", key.type}, {"bytes", to_hex(key.bytes)}};
        if (const auto v = decode_number(key.type, key.bytes)) entry["value"] = *v;
        entry["writable"] = key.writable;
        entry["pinned"] = key.pinned;
        keys[name] = entry;
    }
    out["keys"] = keys;
    ordered_json faults = ordered_json::array();
    for (const auto& f : device.faults()) {
        faults.push_back({{"key", f.key},
                          {"remaining", f.remaining},
                          {"ops", f.ops},
                          {f.transport ? "rc" : "result", f.code},
                          {"applied", f.applied}});
    }
    for (const auto& s : device.info_sizes()) {
        faults.push_back({{"key", s.key}, {"remaining", s.remaining}, {"info_size", s.size}});
    }
    out["faults"] = faults;
    ordered_json calls = ordered_json::object();
    for (const auto& [name, c] : device.counts())
        calls[name] = {{"info", c.info}, {"read", c.read}, {"write", c.write}};
    out["calls"] = calls;
    ordered_json writes = ordered_json::array();
    for (const auto& w : device.writes()) {
        writes.push_back(
            {{"t", w.time}, {"key", w.key}, {"bytes", to_hex(w.bytes)}, {"result", w.result}, {"rc", w.transport}});
    }
    out["writes"] = writes;
    // Keys may hold any bytes; never let a stray one break the line.
    return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vsmc
