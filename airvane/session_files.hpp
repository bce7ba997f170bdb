#pragma once

#include <string>

#include "fan_error.hpp"
#include "sys/unique_fd.hpp"

inline constexpr char kLockFilePath[] = "/var/run/fantavrin.lock";
inline constexpr char kDaemonSocketPath[] = "/var/run/tavrin/control.sock";

inline constexpr char kLockFileFailed[] = "제어 잠금 파일 생성 실패";
inline constexpr char kSessionBusy[] = "Tavrin 제어 세션이 이미 실행 중입니다. 잠시 후 다시 시도하세요.";
inline constexpr char kSessionDirFailed[] = "세션 디렉터리 생성 실패";
inline constexpr char kSessionModeFailed[] = "세션 권한 설정 실패";

// Opens the single-instance lock file and takes its lock without waiting. The file is never
// followed through a link, and only a root-owned regular file counts: a file another user
// planted there could otherwise be used to block or fake a session.
FanResult<UniqueFd> acquire_instance_lock(const char* path);

// Creates the session directory with mode 711. In daemon mode an existing directory is reused
// when it is a real directory owned by root and writable by nobody else.
FanResult<void> create_session_directory(const std::string& dir, bool daemon_mode);

// The name of the socket inside every session directory.
inline constexpr char kSocketFileName[] = "control.sock";

// Removes what a helper that died left of its session: the socket inside the directory, then
// the directory. Only a directory of the forms this helper creates, and only a real directory
// owned by root and writable by nobody else, is touched.
void remove_dead_session_directory(const std::string& dir);

// Owns the on-disk traces of a serving session. Released exactly once: the socket path and
// the session directory are removed, in that order, ignoring errors. The instance lock is held
// apart from it, so that the manual-control record can still be settled under the lock after it.
class Cleanup {
public:
    Cleanup(std::string socket_path, std::string directory);
    ~Cleanup();
    Cleanup(const Cleanup&) = delete;
    Cleanup& operator=(const Cleanup&) = delete;

private:
    std::string socket_path_;
    std::string directory_;
};
