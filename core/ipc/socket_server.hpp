#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "fan_error.hpp"
#include "ipc/protocol.hpp"
#include "sys/peer_judgement.hpp"
#include "sys/unique_fd.hpp"

inline constexpr char kInvalidSessionId[] = "잘못된 세션 ID";
inline constexpr char kSocketCreateFailed[] = "소켓 생성 실패";
inline constexpr char kSocketPathTooLong[] = "소켓 경로가 너무 깁니다.";
inline constexpr char kSocketSetupFailed[] = "제어 소켓 준비 실패";

// The per-session socket path for a session identifier in 8-4-4-4-12 hexadecimal form; the
// identifier's letter case is kept.
FanResult<std::string> session_path(std::string_view session_id);

// The session's listening socket. Only the session user can open the socket file, and every
// connection is verified before a byte of it is read. Releasing the server closes the socket
// and then removes the socket file; a moved-from server releases nothing.
class SocketServer {
public:
    static FanResult<SocketServer> bind(std::string path, std::uint32_t uid);

    // Serves at most one connection: waits about half a second for a client, refuses a peer of
    // another user (or, when `code_hash` is given, one whose code does not match it, or is not
    // judged within kPeerJudgementSeconds) by closing without a byte, otherwise reads one request
    // line, answers with `handler`'s reply, closes.
    void next(std::uint32_t uid, const std::optional<std::string>& code_hash,
              const std::function<Reply(const Request&)>& handler);

    const std::string& path() const { return path_; }

    SocketServer(SocketServer&& other) noexcept = default;
    SocketServer& operator=(SocketServer&& other) noexcept;
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;
    ~SocketServer() { release(); }

private:
    SocketServer(std::string path, UniqueFd listener) : path_(std::move(path)), listener_(std::move(listener)) {}
    void release();

    std::string path_;
    UniqueFd listener_;
};
