#include "ipc/protocol.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "sys/json_in.hpp"
#include "sys/json_out.hpp"
#include "control/snapshot_json.hpp"

namespace {

using Json = nlohmann::json;

// A line feed never reaches here from the socket, and accepting one as whitespace would hide a
// framing fault.
bool raw_line_acceptable(std::string_view line) {
    return json_text_acceptable(line) && line.find('\n') == std::string_view::npos;
}

// Streams the parser's events into a Request without building a document, so that unknown
// members of any size cost nothing. Every rule of the request's shape is enforced here; the
// parser itself enforces well-formed JSON and the absence of trailing bytes.
class RequestReader {
public:
    enum class Form { undecided, object, array };

    Request request;
    bool has_command = false;
    std::size_t elements = 0;
    Form form = Form::undecided;

    bool null() { return top_level_value(Value::null()); }
    bool boolean(bool) { return top_level_value(Value::other()); }
    bool number_integer(std::int64_t v) { return top_level_value(Value::integer(v)); }
    bool number_unsigned(std::uint64_t v) {
        // Above the signed range the value can still be an rpm or a ceiling, never a fan.
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return top_level_value(Value::number(static_cast<double>(v)));
        }
        return top_level_value(Value::integer(static_cast<std::int64_t>(v)));
    }
    bool number_float(double v, const std::string&) {
        // The JSON library already refuses a literal beyond the double range, wherever it stands
        // (an ignored member included); this keeps an infinity out should that ever change.
        if (!std::isfinite(v)) return false;
        return top_level_value(Value::number(v));
    }
    bool string(std::string& s) { return top_level_value(Value::string(std::move(s))); }
    bool binary(std::vector<std::uint8_t>&) { return false; }

    bool start_object(std::size_t) {
        if (depth_ == 0) form = Form::object;
        else if (!top_level_value(Value::other())) return false;
        ++depth_;
        keys_.emplace_back();
        return true;
    }
    bool key(std::string& name) {
        // A member named twice is malformed at every level, not only among the request's own.
        if (!keys_.back().insert(name).second) return false;
        if (depth_ == 1) member_ = name;
        return true;
    }
    bool end_object() {
        --depth_;
        keys_.pop_back();
        return true;
    }
    bool start_array(std::size_t) {
        if (depth_ == 0) form = Form::array;
        else if (!top_level_value(Value::other())) return false;
        ++depth_;
        keys_.emplace_back();
        return true;
    }
    bool end_array() {
        --depth_;
        keys_.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

    bool complete() const {
        if (form == Form::object) return has_command;
        if (form == Form::array) return elements >= 1;
        return false;
    }

private:
    // One value at the request's own level, reduced to what the members can use.
    struct Value {
        enum class Kind { null, integer, number, string, other };
        Kind kind = Kind::other;
        std::int64_t whole = 0;
        double real = 0;
        std::string text;

        static Value null() { return with(Kind::null); }
        static Value other() { return with(Kind::other); }
        static Value integer(std::int64_t v) {
            Value value = with(Kind::integer);
            value.whole = v;
            value.real = static_cast<double>(v);
            return value;
        }
        static Value number(double v) {
            Value value = with(Kind::number);
            value.real = v;
            return value;
        }
        static Value string(std::string s) {
            Value value = with(Kind::string);
            value.text = std::move(s);
            return value;
        }

    private:
        static Value with(Kind kind) {
            Value value;
            value.kind = kind;
            return value;
        }
    };

    // Called for every value; only the request's own members and elements (depth 1) matter.
    bool top_level_value(Value value) {
        if (depth_ == 0) return false;  // a bare scalar is not a request
        if (depth_ != 1) return true;   // inside an ignored member
        if (form == Form::object) return assign_member(member_, std::move(value));
        static constexpr const char* kOrder[] = {"command", "fan", "rpm", "ceiling"};
        const std::size_t index = elements++;
        if (index >= std::size(kOrder)) return false;
        return assign_member(kOrder[index], std::move(value));
    }

    bool assign_member(std::string_view name, Value value) {
        using Kind = Value::Kind;
        if (name == "command") {
            if (value.kind != Kind::string) return false;
            request.command = std::move(value.text);
            has_command = true;
            return true;
        }
        if (name == "fan") {
            if (value.kind == Kind::null) return true;
            if (value.kind != Kind::integer) return false;
            request.fan = value.whole;
            return true;
        }
        if (name == "rpm" || name == "ceiling") {
            auto& field = name == "rpm" ? request.rpm : request.ceiling;
            if (value.kind == Kind::null) return true;
            if (value.kind != Kind::integer && value.kind != Kind::number) return false;
            field = value.real;
            return true;
        }
        return true;  // unknown member, ignored whatever its value
    }

    std::size_t depth_ = 0;
    std::string member_;
    std::vector<std::set<std::string>> keys_;
};

}  // namespace

FanResult<Request> decode_request(std::string_view line) {
    // 1. The raw bytes, before the JSON library sees them.
    if (!raw_line_acceptable(line)) return fan_error(kMalformedRequest);

    // 2. The JSON value and its shape; trailing bytes other than whitespace are refused.
    RequestReader reader;
    const bool parsed = Json::sax_parse(line.data(), line.data() + line.size(), &reader,
                                        nlohmann::detail::input_format_t::json, true);

    // 3. The required command (object) or first element (array).
    if (!parsed || !reader.complete()) return fan_error(kMalformedRequest);
    return std::move(reader.request);
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
    // 1. Serialise (into a buffer that starts at the usual reply size).
    std::string line = encode_reply(reply);

    // 2. The writers above cannot fail, so there is no serialisation error to pass on.
    // 3-4. The limit applies to the JSON text; nothing is written when it is reached.
    const std::size_t text_size = line.size();
    line += '\n';
    if (text_size >= kLineLimit) return fan_error(kReplyTooLarge);

    // 5. The whole line, whatever the kernel takes per call; a closed peer must not raise
    // SIGPIPE in the helper.
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::send(fd, line.data() + written, line.size() - written, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fan_error(kSendFailed);
        written += static_cast<std::size_t>(n);
    }
    return {};
}
