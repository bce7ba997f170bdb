#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/snapshot.hpp"
#include "fan_error.hpp"

// One request line as the client sends it; absent and null members are the same.
struct Request {
    std::string command;
    std::optional<std::int64_t> fan;
    std::optional<double> rpm;
    std::optional<double> ceiling;

    bool operator==(const Request&) const = default;
};

// One reply line: a snapshot, an error text, both, or neither ("{}").
struct Reply {
    std::optional<Snapshot> snapshot;
    std::optional<std::string> error;
};

inline constexpr std::size_t kLineLimit = 16384;

// Protocol-level texts carried in a reply's "error".
inline constexpr char kMalformedRequest[] =
    "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
inline constexpr char kRequestTooLarge[] = "요청 크기 초과";
inline constexpr char kPeerDisconnected[] = "보조 프로세스 연결이 끊겼습니다.";
inline constexpr char kReplyTooLarge[] = "응답 크기 초과";
inline constexpr char kSendFailed[] = "보조 프로세스에 전송하지 못했습니다.";
inline constexpr char kUnknownCommand[] = "허용하지 않는 명령";
inline constexpr char kRpmRequestError[] = "RPM 요청 오류";

// Decodes the request text (without its line feed); any malformed text gives kMalformedRequest.
FanResult<Request> decode_request(std::string_view line);

// The reply's JSON text without the line feed.
std::string encode_reply(const Reply& reply);

// Writes one reply line to a connected socket.
FanResult<void> send_json(const Reply& reply, int fd);
