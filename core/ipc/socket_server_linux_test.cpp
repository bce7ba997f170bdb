#include "ipc/socket_server.hpp"
#include "sys/local_socket.hpp"
#include "sys/executable_hash.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sys/code_hash.hpp"
#include "sys/peer_judgement_test_support.hpp"
#include "sys/unique_fd.hpp"

namespace {

// Ids no account on a test machine uses.
constexpr std::uint32_t kOtherUid = 60001;
constexpr std::uint32_t kThirdUid = 60002;

TEST(SessionPath, WellFormedIdentifierKeepsItsCase) {
    const auto path = session_path("0A1B2C3D-4E5F-6a7b-8c9d-AABBCCDDEEFF");
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, "/var/run/fantavrin.0A1B2C3D-4E5F-6a7b-8c9d-AABBCCDDEEFF/control.sock");
}

TEST(SessionPath, AnythingElseIsRefused) {
    for (const std::string id : {"0A1B2C3D-4E5F-6a7b-8c9dxAABBCCDDEEFF",   // no dash at 23
                                 "0A1B2C3D-4E5F-6a7b-8c9d-AABBCCDDEEFg",   // not hexadecimal
                                 "0A1B2C3D-4E5F-6a7b-8c9d-AABBCCDDEEF",    // 35 bytes
                                 "0A1B2C3D-4E5F-6a7b-8c9d-AABBCCDDEEFF0",  // 37 bytes
                                 "0A1B2C3D-4E5F-6a7b-8c9d-AABB/./DEEFF",   // path characters
                                 ""}) {
        const auto path = session_path(id);
        ASSERT_FALSE(path.has_value()) << id;
        EXPECT_EQ(path.error().message, kInvalidSessionId);
    }
}

class SocketServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ipc-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        // Other test users must reach the socket inside.
        ::chmod(directory_.c_str(), 0711);
        path_ = directory_ + "/control.sock";
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    SocketServer bound(std::uint32_t uid) {
        auto server = SocketServer::bind(path_, uid);
        if (!server) ADD_FAILURE() << server.error().message;
        return std::move(*server);
    }

    UniqueFd connect_client() const {
        UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ADD_FAILURE() << "connect: " << std::strerror(errno);
        }
        return client;
    }

    static void send_all(int fd, const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            ASSERT_GT(n, 0);
            sent += static_cast<std::size_t>(n);
        }
    }

    static std::string read_to_end(int fd) {
        std::string received;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) return received;
            received.append(buffer, static_cast<std::size_t>(n));
        }
    }

    // Serves one connection, recording what reached the handler.
    void serve(SocketServer& server, std::uint32_t uid, const std::optional<std::string>& code_hash = std::nullopt,
               Reply answer = {}) {
        server.next(uid, code_hash, [&](const Request& request) {
            handled_.push_back(request);
            return answer;
        });
    }

    std::string directory_;
    std::string path_;
    std::vector<Request> handled_;
};

TEST_F(SocketServerTest, BoundSocketBelongsToTheSessionUserAlone) {
    auto server = bound(kOtherUid);
    struct stat info {};
    ASSERT_EQ(::lstat(path_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_uid, kOtherUid);
    EXPECT_EQ(info.st_gid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(SocketServerTest, ReleaseRemovesTheFileAndTheSameDirectoryCanBindAgain) {
    {
        auto server = bound(0);
        SocketServer moved = std::move(server);
        {
            // The moved-from server must leave the file to its new owner.
            SocketServer gone = std::move(server);
        }
        EXPECT_TRUE(std::filesystem::exists(path_));
    }
    EXPECT_FALSE(std::filesystem::exists(path_));
    auto again = SocketServer::bind(path_, 0);
    EXPECT_TRUE(again.has_value());
}

TEST_F(SocketServerTest, PathLengthLimitAndUnusablePaths) {
    const std::string prefix = directory_ + "/";
    const std::string longest = prefix + std::string(kLocalPathLimit - prefix.size(), 's');
    ASSERT_EQ(longest.size(), 103u);
    EXPECT_TRUE(SocketServer::bind(longest, 0).has_value());

    const auto too_long = SocketServer::bind(longest + "s", 0);
    ASSERT_FALSE(too_long.has_value());
    EXPECT_EQ(too_long.error().message, kSocketPathTooLong);

    const auto with_nul = SocketServer::bind(prefix + std::string("a\0b", 3), 0);
    ASSERT_FALSE(with_nul.has_value());
    EXPECT_EQ(with_nul.error().message, kSocketSetupFailed);

    const auto no_directory = SocketServer::bind(prefix + "missing/control.sock", 0);
    ASSERT_FALSE(no_directory.has_value());
    EXPECT_EQ(no_directory.error().message, kSocketSetupFailed);

    auto first = bound(0);
    const auto taken = SocketServer::bind(path_, 0);
    ASSERT_FALSE(taken.has_value());
    EXPECT_EQ(taken.error().message, kSocketSetupFailed);
}

TEST_F(SocketServerTest, NoClientReturnsWithoutCallingTheHandler) {
    auto server = bound(0);
    serve(server, ::geteuid());
    EXPECT_TRUE(handled_.empty());
}

TEST_F(SocketServerTest, RequestIsDecodedAndAnswered) {
    auto server = bound(0);
    const auto client = connect_client();
    // Bytes after the line feed belong to no request.
    send_all(client.get(), "{\"command\":\"set\",\"fan\":1,\"rpm\":2500}\n{\"command\":\"quit\"}\n");
    Reply answer;
    answer.error = "거부";
    serve(server, ::geteuid(), std::nullopt, answer);
    ASSERT_EQ(handled_.size(), 1u);
    EXPECT_EQ(handled_[0], (Request{"set", 1, 2500.0, std::nullopt}));
    EXPECT_EQ(read_to_end(client.get()), "{\"error\":\"거부\"}\n");
}

TEST_F(SocketServerTest, ProtocolFailuresAreAnsweredWithTheErrorAlone) {
    auto server = bound(0);
    const auto expect_reply = [&](const std::string& sent, const std::string& reply) {
        const auto client = connect_client();
        send_all(client.get(), sent);
        serve(server, ::geteuid());
        EXPECT_EQ(read_to_end(client.get()), reply);
    };
    expect_reply("{\"command\":\"ping\"\n",
                 "{\"error\":\"The data couldn’t be read because it isn’t in the correct format.\"}\n");
    expect_reply("\n", "{\"error\":\"The data couldn’t be read because it isn’t in the correct format.\"}\n");
    expect_reply(std::string(kLineLimit, ' '), "{\"error\":\"요청 크기 초과\"}\n");
    // A client that sends nothing is cut off by the one-second receive timeout.
    expect_reply("", "{\"error\":\"보조 프로세스 연결이 끊겼습니다.\"}\n");
    EXPECT_TRUE(handled_.empty());
}

TEST_F(SocketServerTest, LongestRequestLineIsDecoded) {
    auto server = bound(0);
    const std::string head = "{\"command\":\"ping\",\"pad\":\"";
    const std::string line = head + std::string(kLineLimit - 1 - head.size() - 2, 'p') + "\"}";
    ASSERT_EQ(line.size(), kLineLimit - 1);
    const auto client = connect_client();
    send_all(client.get(), line + "\n");
    serve(server, ::geteuid());
    ASSERT_EQ(handled_.size(), 1u);
    EXPECT_EQ(handled_[0].command, "ping");
    EXPECT_EQ(read_to_end(client.get()), "{}\n");
}

TEST_F(SocketServerTest, ReplyTooLargeIsReplacedByItsError) {
    auto server = bound(0);
    const auto client = connect_client();
    send_all(client.get(), "{\"command\":\"heartbeat\"}\n");
    Reply huge;
    huge.snapshot = Snapshot{};
    huge.snapshot->notice = std::string(kLineLimit, 'n');
    serve(server, ::geteuid(), std::nullopt, huge);
    EXPECT_EQ(handled_.size(), 1u);
    EXPECT_EQ(read_to_end(client.get()), "{\"error\":\"응답 크기 초과\"}\n");
}

TEST_F(SocketServerTest, ClientGoneAfterSendingStillHasItsRequestCarriedOut) {
    auto server = bound(0);
    {
        const auto client = connect_client();
        send_all(client.get(), "{\"command\":\"quit\"}\n");
    }
    serve(server, ::geteuid());
    ASSERT_EQ(handled_.size(), 1u);
    EXPECT_EQ(handled_[0].command, "quit");
    // The server goes on serving.
    const auto next_client = connect_client();
    send_all(next_client.get(), "{\"command\":\"ping\"}\n");
    serve(server, ::geteuid());
    EXPECT_EQ(handled_.size(), 2u);
    EXPECT_EQ(read_to_end(next_client.get()), "{}\n");
}

// Runs a client as `uid` in a child process; the child exits 0 when it was closed without a
// byte, 2 when it got a reply, 1 when it could not even connect. A refusal may come before the
// request is written, so a failed write is part of being closed.
pid_t client_as(std::uint32_t uid, const std::string& path, const std::string& request) {
    const pid_t child = ::fork();
    if (child != 0) return child;
    if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
    (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char byte = 0;
    ::_exit(::read(fd, &byte, 1) == 1 ? 2 : 0);
}

int exit_status_of(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST_F(SocketServerTest, OnlyTheSessionUserIsServed) {
    auto server = bound(kOtherUid);
    // The file's mode is not the only gate: the peer's own user id decides.
    ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);

    const pid_t session_user = client_as(kOtherUid, path_, "{\"command\":\"ping\"}\n");
    serve(server, kOtherUid);
    EXPECT_EQ(exit_status_of(session_user), 2);
    EXPECT_EQ(handled_.size(), 1u);

    const pid_t stranger = client_as(kThirdUid, path_, "{\"command\":\"quit\"}\n");
    serve(server, kOtherUid);
    EXPECT_EQ(exit_status_of(stranger), 0);

    // Root is a stranger too.
    const auto root_client = connect_client();
    send_all(root_client.get(), "{\"command\":\"quit\"}\n");
    serve(server, kOtherUid);
    EXPECT_EQ(read_to_end(root_client.get()), "");
    EXPECT_EQ(handled_.size(), 1u);
}

TEST_F(SocketServerTest, CodeCheckServesOnlyTheMatchingExecutable) {
    auto server = bound(0);
    const auto own_hash = code_hash_of_file("/proc/self/exe");
    ASSERT_TRUE(own_hash.has_value());

    const auto client = connect_client();
    send_all(client.get(), "{\"command\":\"ping\"}\n");
    serve(server, ::geteuid(), own_hash);
    EXPECT_EQ(handled_.size(), 1u);
    EXPECT_EQ(read_to_end(client.get()), "{}\n");

    std::string other_hash = *own_hash;
    other_hash[0] = other_hash[0] == '0' ? '1' : '0';
    std::string upper_case = *own_hash;
    for (char& c : upper_case) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto& refused : {other_hash, upper_case, own_hash->substr(1), *own_hash + "0"}) {
        if (refused == *own_hash) continue;
        const auto stranger = connect_client();
        send_all(stranger.get(), "{\"command\":\"quit\"}\n");
        serve(server, ::geteuid(), refused);
        EXPECT_EQ(read_to_end(stranger.get()), "") << refused;
    }
    EXPECT_EQ(handled_.size(), 1u);
}

TEST_F(SocketServerTest, CodeCheckRefusesAPeerThatHasExited) {
    auto server = bound(0);
    const auto own_hash = code_hash_of_file("/proc/self/exe");
    ASSERT_TRUE(own_hash.has_value());
    // Its pid may already belong to anyone: there is no running code left to vouch for.
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        const std::string request = "{\"command\":\"quit\"}\n";
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    ASSERT_EQ(exit_status_of(child), 0);
    serve(server, ::geteuid(), own_hash);
    EXPECT_TRUE(handled_.empty());
    // Without the code check the same situation is served (the request was sent whole).
}

// Another user's peer must not make this process read anything of its choosing.
TEST_F(SocketServerTest, AnotherUsersPeerIsRefusedBeforeItsCodeIsJudged) {
    auto server = bound(kOtherUid);
    ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
    std::atomic<int> judged{0};
    const PeerCodeCheckReplaced counting([&judged](int, std::string_view) {
        ++judged;
        return PeerCode::satisfies;
    });
    const std::string code_hash(40, 'a');

    const pid_t stranger = client_as(kThirdUid, path_, "{\"command\":\"ping\"}\n");
    serve(server, kOtherUid, code_hash);
    EXPECT_EQ(exit_status_of(stranger), 0);
    EXPECT_EQ(judged, 0);

    const pid_t session_user = client_as(kOtherUid, path_, "{\"command\":\"ping\"}\n");
    serve(server, kOtherUid, code_hash);
    EXPECT_EQ(exit_status_of(session_user), 2);
    EXPECT_EQ(judged, 1);
}

// The peer's executable on a file system that stopped answering: its judgement never ends.
TEST_F(SocketServerTest, AStalledCodeJudgementRefusesThePeerWithoutHoldingUpTheServer) {
    auto server = bound(0);
    StalledJudge stalled;
    std::optional<PeerCodeCheckReplaced> stuck(std::in_place, stalled.code_judge());
    const std::string code_hash(40, 'a');

    for (int peer = 1; peer <= 2; ++peer) {
        const auto client = connect_client();
        send_all(client.get(), "{\"command\":\"ping\"}\n");
        serve(server, ::geteuid(), code_hash);
        EXPECT_EQ(stalled.started(), peer);
        // Closed without a byte, although the abandoned judgement still holds the connection.
        char byte = 0;
        EXPECT_EQ(::recv(client.get(), &byte, 1, MSG_DONTWAIT), 0) << "peer " << peer;
    }
    EXPECT_TRUE(handled_.empty());
    // Both still stuck: the server went on without their verdicts.
    EXPECT_EQ(judgements_under_way(), 2);
    stalled.release();
    wait_until_no_judgement_under_way();

    stuck.reset();
    const PeerCodeCheckReplaced passing([](int, std::string_view) { return PeerCode::satisfies; });
    const auto client = connect_client();
    send_all(client.get(), "{\"command\":\"ping\"}\n");
    serve(server, ::geteuid(), code_hash);
    EXPECT_EQ(read_to_end(client.get()), "{}\n");
    EXPECT_EQ(handled_.size(), 1u);
}

}  // namespace
