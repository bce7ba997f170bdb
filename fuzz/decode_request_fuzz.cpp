// Request decoding: never crashes, refuses with the one malformed-request text, and what it
// accepts survives being written back out in either form.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sys/json_out.hpp"
#include "ipc/protocol.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

std::string as_object(const Request& request) {
    std::string out = "{\"command\":";
    append_json_string(out, request.command);
    if (request.fan) {
        out += ",\"fan\":";
        append_json_int(out, *request.fan);
    }
    if (request.rpm) {
        out += ",\"rpm\":";
        append_json_double(out, *request.rpm);
    }
    if (request.ceiling) {
        out += ",\"ceiling\":";
        append_json_double(out, *request.ceiling);
    }
    out += '}';
    return out;
}

std::string as_array(const Request& request) {
    std::string out = "[";
    append_json_string(out, request.command);
    out += ',';
    if (request.fan)
        append_json_int(out, *request.fan);
    else
        out += "null";
    out += ',';
    if (request.rpm)
        append_json_double(out, *request.rpm);
    else
        out += "null";
    out += ',';
    if (request.ceiling)
        append_json_double(out, *request.ceiling);
    else
        out += "null";
    out += ']';
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto decoded = decode_request(line);
    if (!decoded) {
        require(decoded.error().message == kMalformedRequest);
        return 0;
    }

    // Bytes the JSON library would overlook never make it through.
    require(line.find('\0') == std::string_view::npos);
    require(!line.starts_with("\xEF\xBB\xBF"));

    // The same request, written back in both forms, reads back the same.
    require(decode_request(as_object(*decoded)) == decoded);
    require(decode_request(as_array(*decoded)) == decoded);

    // Trailing whitespace is harmless; any other trailing byte is not.
    require(decode_request(std::string(line) + " \t\r") == decoded);
    require(!decode_request(std::string(line) + "x").has_value());
    return 0;
}
