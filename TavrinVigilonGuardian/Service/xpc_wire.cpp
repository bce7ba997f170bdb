#include "Service/xpc_wire.hpp"

#include "Engine/json_record.hpp"
#include "sys/utf8.hpp"

std::string encodeAnnouncement(std::string_view codeHash) {
    JsonObjectWriter writer;
    writer.addString("codeHash", std::string(codeHash));
    return writer.finish();
}

std::optional<std::string> decodeAnnouncement(std::string_view line) {
    return decodeRecord(
        line, [](const JsonRecordReader& in) -> std::optional<std::string> { return in.requiredString("codeHash"); });
}

std::string encodeRequest(const XPCRequest& request) {
    JsonObjectWriter writer;
    writer.addString("verb", request.verb);
    writer.addInteger("minutes", request.minutes);
    writer.addInteger("thermalLimit", request.thermalLimit);
    return writer.finish();
}

std::optional<XPCRequest> decodeRequest(std::string_view line) {
    return decodeRecord(line, [](const JsonRecordReader& in) -> std::optional<XPCRequest> {
        return XPCRequest{in.requiredString("verb"), in.requiredInteger("minutes"), in.requiredInteger("thermalLimit")};
    });
}

std::string encodeReply(const XPCReply& reply) {
    JsonObjectWriter writer;
    writer.addBool("ok", reply.ok);
    writer.addString("message", repair_utf8(reply.message));
    return writer.finish();
}

std::optional<XPCReply> decodeReply(std::string_view line) {
    return decodeRecord(line, [](const JsonRecordReader& in) -> std::optional<XPCReply> {
        return XPCReply{in.requiredBool("ok"), in.requiredString("message")};
    });
}
