#include "control/snapshot_json.hpp"

#include "sys/json_out.hpp"

void append_fan_json(std::string& out, const Fan& fan) {
    out += "{\"id\":";
    append_json_int(out, fan.id);
    out += ",\"actual\":";
    append_json_double(out, fan.actual);
    if (fan.minimum) {
        out += ",\"minimum\":";
        append_json_double(out, *fan.minimum);
    }
    if (fan.maximum) {
        out += ",\"maximum\":";
        append_json_double(out, *fan.maximum);
    }
    if (fan.target) {
        out += ",\"target\":";
        append_json_double(out, *fan.target);
    }
    if (fan.mode) {
        out += ",\"mode\":";
        append_json_int(out, *fan.mode);
    }
    out += '}';
}

void append_snapshot_json(std::string& out, const Snapshot& snapshot) {
    out += "{\"fans\":[";
    for (std::size_t i = 0; i < snapshot.fans.size(); ++i) {
        if (i > 0) out += ',';
        append_fan_json(out, snapshot.fans[i]);
    }
    out += ']';
    if (snapshot.temperature) {
        out += ",\"temperature\":";
        append_json_double(out, *snapshot.temperature);
    }
    out += ",\"thermal\":";
    append_json_int(out, snapshot.thermal);
    if (snapshot.notice) {
        out += ",\"notice\":";
        append_json_string(out, *snapshot.notice);
    }
    out += ",\"controlled\":[";
    for (std::size_t i = 0; i < snapshot.controlled.size(); ++i) {
        if (i > 0) out += ',';
        append_json_int(out, snapshot.controlled[i]);
    }
    out += "]}";
}
