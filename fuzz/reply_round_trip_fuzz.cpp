// Decoded requests fed into every member of a reply: the reply text is always one line of
// well-formed JSON, members in order, and every value reads back exactly.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ipc/protocol.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool same_number(const nlohmann::json& value, const std::optional<double>& expected) {
    if (!expected) return value.is_null();
    return value.is_number() && value.get<double>() == *expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto request = decode_request(line);
    if (!request) return 0;

    Fan fan;
    fan.id = request->fan.value_or(0);
    fan.actual = request->rpm.value_or(0);
    fan.target = request->ceiling;
    Snapshot snapshot;
    snapshot.temperature = request->rpm;
    snapshot.fans = {fan};
    snapshot.controlled = {fan.id};
    snapshot.notice = request->command;
    Reply reply;
    reply.snapshot = snapshot;
    reply.error = request->command;

    const std::string text = encode_reply(reply);
    require(text.find('\n') == std::string::npos);
    require(text.starts_with("{\"snapshot\":{"));

    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    require(!parsed.is_discarded() && parsed.is_object() && parsed.size() == 2);
    // The error follows the snapshot; inside a string a quotation mark is always escaped, so
    // this text can only be the member itself.
    require(text.find(",\"error\":") != std::string::npos);
    require(parsed["error"] == request->command);

    const auto& read_back = parsed["snapshot"];
    require(read_back["notice"] == request->command);
    require(read_back["fans"].size() == 1 && read_back["fans"][0]["id"] == fan.id);
    require(same_number(read_back["fans"][0]["actual"], fan.actual));
    require(same_number(read_back["fans"][0].value("target", nlohmann::json()), fan.target));
    require(same_number(read_back.value("temperature", nlohmann::json()), snapshot.temperature));
    require(read_back["controlled"] == nlohmann::json::array({fan.id}));

    // A reply with nothing in it is the two braces.
    require(encode_reply(Reply{}) == "{}");
    return 0;
}
