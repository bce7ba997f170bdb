#include "Service/xpc_wire.hpp"

#include "Engine/json_record.hpp"
#include "sys/utf8.hpp"

std::string encodeAnnouncement(std::string_view codeHash) {
    JsonObjectWriter writer;
    writer.addString("codeHash", std::string(codeHash));
    return writer.finish();
}

std::optional<std::string> decodeAnnouncement(std::string_view line) {
    try {
        const JsonRecordReader reader(line);
        return reader.optionalString("codeHash");
    } catch (const JsonRecordMismatch&) {
        return std::nullopt;
    }
}

std::string encodeRequest(const XPCRequest& request) {
    JsonObjectWriter writer;
    writer.addString("verb", request.verb);
    writer.addInteger("minutes", request.minutes);
    writer.addInteger("thermalLimit", request.thermalLimit);
    return writer.finish();
}

std::optional<XPCRequest> decodeRequest(std::string_view line) {
    try {
        const JsonRecordReader reader(line);
        auto verb = reader.optionalString("verb");
        if (!verb) return std::nullopt;
        return XPCRequest{std::move(*verb), reader.requiredInteger("minutes"),
                          reader.requiredInteger("thermalLimit")};
    } catch (const JsonRecordMismatch&) {
        return std::nullopt;
    }
}

std::string encodeReply(const XPCReply& reply) {
    JsonObjectWriter writer;
    writer.addBool("ok", reply.ok);
    writer.addString("message", repair_utf8(reply.message));
    return writer.finish();
}

std::optional<XPCReply> decodeReply(std::string_view line) {
    try {
        const JsonRecordReader reader(line);
        auto message = reader.optionalString("message");
        if (!message) return std::nullopt;
        return XPCReply{reader.requiredBool("ok"), std::move(*message)};
    } catch (const JsonRecordMismatch&) {
        return std::nullopt;
    }
}
