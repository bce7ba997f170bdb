#include "ipc/protocol.hpp"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "sys/json_in.hpp"
#include "sys/local_socket.hpp"
#include "sys/json_out.hpp"
#include "control/snapshot_json.hpp"

namespace {

using Json = nlohmann::json;

// The request's fields in the order the array form lists them.
constexpr const char* kFieldOrder[] = {"command", "fan", "rpm", "ceiling"};

// One field's value into the request. An absent field and a null one are the same; a value of
// the wrong kind makes the whole request malformed.
bool assign_field(Request& request, std::string_view name, const Json& value) {
    if (name == "command") {
        if (!value.is_string()) return false;
        request.command = value.get<std::string>();
        return true;
    }
    if (value.is_null()) return true;
    if (name == "fan") {
        // A fan is a whole number in the signed 64-bit range, written without fraction or
        // exponent; the parser keeps such numbers apart from the rest.
        if (value.is_number_unsigned()) {
            if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return false;
            }
            request.fan = static_cast<std::int64_t>(value.get<std::uint64_t>());
            return true;
        }
        if (!value.is_number_integer()) return false;
        request.fan = value.get<std::int64_t>();
        return true;
    }
    if (!value.is_number()) return false;
    const double number = value.get<double>();
    // The parser refuses a literal beyond the double range wherever it stands; this keeps an
    // infinity out should that ever change.
    if (!std::isfinite(number)) return false;
    (name == "rpm" ? request.rpm : request.ceiling) = number;
    return true;
}

bool read_object(Request& request, const Json& object) {
    if (!object.contains("command")) return false;
    for (const char* name : kFieldOrder) {
        const auto member = object.find(name);
        if (member != object.end() && !assign_field(request, name, *member)) return false;
    }
    return true;  // members of other names are ignored, whatever their value
}

bool read_array(Request& request, const Json& array) {
    if (array.empty() || array.size() > std::size(kFieldOrder)) return false;
    for (std::size_t i = 0; i < array.size(); ++i) {
        if (!assign_field(request, kFieldOrder[i], array[i])) return false;
    }
    return true;
}

}  // namespace

FanResult<Request> decode_request(std::string_view line) {
    // A line feed never reaches here from the socket, and accepting one as whitespace would hide
    // a framing fault.
    if (line.find('\n') != std::string_view::npos) return fan_error(kMalformedRequest);
    const auto value = parse_json_strictly(line);
    if (!value) return fan_error(kMalformedRequest);

    Request request;
    const bool read = value->is_object()  ? read_object(request, *value)
                      : value->is_array() ? read_array(request, *value)
                                          : false;
    if (!read) return fan_error(kMalformedRequest);
    return request;
}

std::string encode_reply(const Reply& reply) {
    std::string out;
    out.reserve(128);
    out += '{';
    if (reply.snapshot) {
        out += "\"snapshot\":";
        append_snapshot_json(out, *reply.snapshot);
    }
    if (reply.error) {
        if (reply.snapshot) out += ',';
        out += "\"error\":";
        append_json_string(out, *reply.error);
    }
    out += '}';
    return out;
}

FanResult<void> send_json(const Reply& reply, int fd) {
    // Serialise (into a buffer that starts at the usual reply size).
    std::string line = encode_reply(reply);

    // The writers above cannot fail, so there is no serialisation error to pass on.
    // The limit applies to the JSON text; nothing is written when it is reached.
    const std::size_t text_size = line.size();
    line += '\n';
    if (text_size >= kLineLimit) return fan_error(kReplyTooLarge);

    // The whole line, whatever the kernel takes per call; a closed peer must not raise
    // SIGPIPE in the helper. Bytes already written stay written.
    if (send_all(fd, line) != Transfer::done) return fan_error(kSendFailed);
    return {};
}
