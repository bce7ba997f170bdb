#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The service endpoint's messages. Each is one JSON object on one line:
//   server, once a peer has been let in:  {"codeHash":"<40 hex digits>"}
//   client request:                       {"verb":"start","minutes":30,"thermalLimit":1}
//   server reply, one per request:        {"ok":true,"message":"..."}
// Encoders return the line without its line feed; decoders take it without one and answer no
// value for anything that is not exactly such an object (unknown keys are ignored).

struct XPCRequest {
    std::string verb;
    std::int64_t minutes = 0;
    std::int64_t thermalLimit = 0;
};

struct XPCReply {
    bool ok = false;
    std::string message;
};

// Longest line either side accepts; real messages are a few hundred bytes.
inline constexpr std::size_t xpcLineLimit = 16384;

std::string encodeAnnouncement(std::string_view codeHash);
std::optional<std::string> decodeAnnouncement(std::string_view line);

// Throws GuardianError for a verb that is not UTF-8.
std::string encodeRequest(const XPCRequest& request);
std::optional<XPCRequest> decodeRequest(std::string_view line);

// A message that is not UTF-8 goes out with its bad bytes replaced, never not at all.
std::string encodeReply(const XPCReply& reply);
std::optional<XPCReply> decodeReply(std::string_view line);
