#include "Service/xpc_socket_linux.hpp"
#include "Service/xpc_test_support.hpp"
#include "Service/xpc_wire.hpp"
#include "Service/wake_helper_client.hpp"
#include "Engine/wake_ipc_contract.hpp"
#include "Engine/wake_ipc_error.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string kUnreachable = "도우미에 연결할 수 없습니다. 도우미를 다시 설치해 주세요.";
const std::string kInterrupted = "도우미 연결이 중단되었습니다. 현재 상태를 확인해 주세요.";
const std::string kTimedOut = "도우미 응답 시간이 초과되었습니다. 현재 잠자기 상태를 확인해 주세요.";
const std::string kUnsupported = "지원하지 않는 요청입니다.";
const std::string kBadSignature = "올바른 코드 서명이 아닙니다.";
const std::string kInstalling = "설치 또는 제거가 진행 중입니다. 잠시 후 다시 시도해 주세요.";
const std::string kOtherHash(40, 'e');

// The outcome as the caller sees it: the message, or the error's text with where it came from.
std::string outcome(const std::function<std::string()>& call) {
    try {
        return call();
    } catch (const WakeIPCError& error) {
        return "WakeIPCError: " + error.message;
    } catch (const XPCError& error) {
        return "XPCError: " + error.description;
    }
}

// A guardian stand-in at a temporary endpoint: refuses what the contract refuses, like the
// real one, and otherwise does what the case asks.
struct Guardian {
    explicit Guardian(CallbackControl::Perform perform, std::string clientRequirement = "")
        : control(std::make_shared<CallbackControl>(
              [perform](const std::string& verb, std::int64_t minutes, std::int64_t limit, TavrinWakeReply reply) {
                  if (!WakeIPCContract::accepts(verb, minutes, limit)) return reply(false, "허용되지 않은 요청입니다.");
                  perform(verb, minutes, limit, std::move(reply));
              })),
          delegate(std::make_shared<CallbackDelegate>([this, clientRequirement](const auto& connection) {
              return exportTo(connection, control, clientRequirement);
          })) {
        listener.setDelegate(delegate);
        listener.resume();
    }

    WakeHelperClient client(std::chrono::milliseconds timeout = 20s) const {
        return WakeHelperClient(folder.socketPath(), timeout);
    }

    ServiceFolder folder;
    std::shared_ptr<CallbackControl> control;
    std::shared_ptr<CallbackDelegate> delegate;
    // Last, so that it stops before what its delegate uses goes away.
    XPCListener listener{"app.tavrin.vigilon.guardian", folder.socketPath()};
};

void answer(bool success, std::string message, TavrinWakeReply reply) { reply(success, std::move(message)); }

TEST(WakeHelperClient, GuardianAnswersComeBackAsTheyWereSent) {
    Guardian guardian([](const std::string& verb, std::int64_t minutes, std::int64_t, TavrinWakeReply reply) {
        if (verb == "ping") return answer(true, std::to_string(WakeIPCContract::version), std::move(reply));
        if (minutes == 60) return answer(false, kInstalling, std::move(reply));
        answer(true, "완료", std::move(reply));
    });
    const auto client = guardian.client();
    const auto hash = ownCodeHash();
    EXPECT_EQ(outcome([&] { return client.request("ping", WakeThermalLimit::fair, hash); }), "3");
    EXPECT_EQ(outcome([&] { return client.request("start", 30, WakeThermalLimit::serious, hash); }), "완료");
    EXPECT_EQ(outcome([&] { return client.request("start", 60, WakeThermalLimit::fair, hash); }),
              "WakeIPCError: " + kInstalling);
    EXPECT_EQ(guardian.control->calls, 3);
}

TEST(WakeHelperClient, BadRequestsAndHashesNeverConnect) {
    Guardian guardian([](const std::string&, std::int64_t, std::int64_t, TavrinWakeReply reply) {
        answer(true, "3", std::move(reply));
    });
    const auto client = guardian.client();
    const auto hash = ownCodeHash();
    EXPECT_EQ(outcome([&] { return client.request("ping", 0, WakeThermalLimit::serious, hash); }),
              "WakeIPCError: " + kUnsupported);
    EXPECT_EQ(outcome([&] { return client.request("ping", 10, WakeThermalLimit::fair, hash); }),
              "WakeIPCError: " + kUnsupported);
    EXPECT_EQ(outcome([&] { return client.request("status", 0, WakeThermalLimit::fair, hash); }),
              "WakeIPCError: " + kUnsupported);
    // The request is judged before the hash.
    EXPECT_EQ(outcome([&] { return client.request("start", 45, WakeThermalLimit::fair, "bad"); }),
              "WakeIPCError: " + kUnsupported);
    std::string upper = hash;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(outcome([&] { return client.request("ping", 0, WakeThermalLimit::fair, upper); }),
              "WakeIPCError: " + kBadSignature);
    EXPECT_EQ(guardian.delegate->asked, 0);
}

TEST(WakeHelperClient, UnreachableRefusingOrForeignGuardiansAreNotUsed) {
    const auto answers = [](const std::string&, std::int64_t, std::int64_t, TavrinWakeReply reply) {
        answer(true, "3", std::move(reply));
    };
    // Nothing listening.
    {
        ServiceFolder folder;
        EXPECT_EQ(outcome([&] {
                      return WakeHelperClient(folder.socketPath(), 20s)
                          .request("ping", 0, WakeThermalLimit::fair, ownCodeHash());
                  }),
                  "WakeIPCError: " + kUnreachable);
    }
    // A guardian whose code is not the expected code is never sent the request.
    {
        Guardian guardian(answers);
        EXPECT_EQ(outcome([&] { return guardian.client().request("ping", 0, WakeThermalLimit::fair, kOtherHash); }),
                  "WakeIPCError: " + kUnreachable);
        EXPECT_EQ(guardian.control->calls, 0);
    }
    // A guardian that does not accept this client's code.
    {
        Guardian guardian(answers, WakeIPCContract::requirement(kOtherHash));
        EXPECT_EQ(outcome([&] { return guardian.client().request("ping", 0, WakeThermalLimit::fair, ownCodeHash()); }),
                  "WakeIPCError: " + kUnreachable);
        EXPECT_EQ(guardian.control->calls, 0);
    }
    // An endpoint others could have put in place: a folder writable by its group, or a socket
    // owned by someone else.
    {
        Guardian guardian(answers);
        ::chmod(guardian.folder.dir.path().c_str(), 0775);
        EXPECT_EQ(outcome([&] { return guardian.client().request("ping", 0, WakeThermalLimit::fair, ownCodeHash()); }),
                  "WakeIPCError: " + kUnreachable);
        ::chmod(guardian.folder.dir.path().c_str(), 0755);
        ASSERT_EQ(::lchown(guardian.folder.socketPath().c_str(), 501, 0), 0);
        EXPECT_EQ(outcome([&] { return guardian.client().request("ping", 0, WakeThermalLimit::fair, ownCodeHash()); }),
                  "WakeIPCError: " + kUnreachable);
        EXPECT_EQ(guardian.delegate->asked, 0);
    }
}

TEST(WakeHelperClient, GuardianGoneMidRequestIsAnInterruption) {
    Guardian guardian([](const std::string&, std::int64_t, std::int64_t, TavrinWakeReply) {
        XPCServerConnection::currentConnection()->invalidate();
    });
    EXPECT_EQ(outcome([&] { return guardian.client().request("stop", 0, WakeThermalLimit::fair, ownCodeHash()); }),
              "WakeIPCError: " + kInterrupted);
}

TEST(WakeHelperClient, SilenceEndsInTheTimeOutAndALateReplyIsIgnored) {
    std::promise<TavrinWakeReply> held;
    auto heldReply = held.get_future();
    Guardian guardian([&](const std::string&, std::int64_t, std::int64_t, TavrinWakeReply reply) {
        held.set_value(std::move(reply));
    });
    EXPECT_EQ(outcome([&] { return guardian.client(1s).request("restore", 0, WakeThermalLimit::fair, ownCodeHash()); }),
              "WakeIPCError: " + kTimedOut);
    ASSERT_EQ(heldReply.wait_for(20s), std::future_status::ready);
    // Answering a client that has given up neither raises nor reaches it.
    heldReply.get()(true, "완료");
    EXPECT_EQ(guardian.control->calls, 1);
}

// A server written by hand, for what the real listener never does: lie about its code, or
// answer with something that is not an answer.
struct HandWrittenServer {
    HandWrittenServer(std::string announcement, std::string answer) {
        socket = listenAt(folder.socketPath());
        worker = std::thread([this, announcement, answer] {
            const UniqueFd peer(::accept4(socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!peer || !writeLine(peer.get(), announcement)) return;
            std::string pending;
            std::string line;
            if (readLine(peer.get(), pending, line) != LineEnd::line) return;
            requested = true;
            (void)writeLine(peer.get(), answer);
        });
    }
    ~HandWrittenServer() {
        ::shutdown(socket.get(), SHUT_RDWR);
        worker.join();
    }
    ServiceFolder folder;
    UniqueFd socket;
    std::atomic<bool> requested{false};
    std::thread worker;
};

TEST(WakeHelperClient, AnnouncedHashAloneIsNotTrusted) {
    // It announces the hash the client expects, but the process runs other code.
    {
        HandWrittenServer server(encodeAnnouncement(kOtherHash), encodeReply({true, "3"}));
        EXPECT_EQ(outcome([&] {
                      return WakeHelperClient(server.folder.socketPath(), 20s)
                          .request("ping", 0, WakeThermalLimit::fair, kOtherHash);
                  }),
                  "WakeIPCError: " + kUnreachable);
        EXPECT_FALSE(server.requested);
    }
    // The process runs the expected code but announces other code: for a client that may not
    // look at a root service's program, the announcement is all it has, so it must match too.
    {
        HandWrittenServer server(encodeAnnouncement(kOtherHash), encodeReply({true, "3"}));
        EXPECT_EQ(outcome([&] {
                      return WakeHelperClient(server.folder.socketPath(), 20s)
                          .request("ping", 0, WakeThermalLimit::fair, ownCodeHash());
                  }),
                  "WakeIPCError: " + kUnreachable);
        EXPECT_FALSE(server.requested);
    }
}

TEST(WakeHelperClient, BrokenTransportReachesTheCallerUnchanged) {
    HandWrittenServer server(encodeAnnouncement(ownCodeHash()), "{\"ok\":true");
    EXPECT_EQ(outcome([&] {
                  return WakeHelperClient(server.folder.socketPath(), 20s)
                      .request("ping", 0, WakeThermalLimit::fair, ownCodeHash());
              }),
              "XPCError: The service sent a message that could not be read.");
    EXPECT_TRUE(server.requested);
}

TEST(WakeHelperClient, ServerMustRunAsRoot) {
    // Root binds the socket, so the file looks right, then listens and serves as another user:
    // the credentials a client sees are those of the process that listened.
    ServiceFolder folder;
    const std::string announcement = encodeAnnouncement(ownCodeHash()) + "\n";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const UniqueFd readyRead(ready[0]);
    UniqueFd readyWrite(ready[1]);
    const pid_t child = ::fork();
    if (child == 0) {
        const UniqueFd own(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        folder.socketPath().copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(own.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::chmod(address.sun_path, 0666) != 0 || ::setresuid(501, 501, 501) != 0 || ::listen(own.get(), 1) != 0 ||
            ::write(readyWrite.get(), "r", 1) != 1) {
            ::_exit(2);
        }
        const UniqueFd peer(::accept(own.get(), nullptr, nullptr));
        if (!peer) ::_exit(3);
        // The client may already have hung up on seeing who listens.
        (void)::send(peer.get(), announcement.data(), announcement.size(), MSG_NOSIGNAL);
        char byte = 0;
        // 0: the client left without sending a request (a reset when it left the announcement
        // unread).
        ::_exit(::read(peer.get(), &byte, 1) <= 0 ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    readyWrite.reset();
    char byte = 0;
    ASSERT_EQ(::read(readyRead.get(), &byte, 1), 1);
    EXPECT_EQ(
        outcome([&] {
            return WakeHelperClient(folder.socketPath(), 20s).request("ping", 0, WakeThermalLimit::fair, ownCodeHash());
        }),
        "WakeIPCError: " + kUnreachable);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The front end runs as its user, and the kernel hides a root process's executable from it: the
// guardian is then vouched for by its root credentials, its root-owned endpoint and its word.
TEST(WakeHelperClient, UnprivilegedCallerReachesTheRootGuardian) {
    Guardian guardian([](const std::string&, std::int64_t, std::int64_t, TavrinWakeReply reply) {
        answer(true, "3", std::move(reply));
    });
    // A copy the unprivileged user can surely run, wherever this build lives.
    char folder[] = "/tmp/vigilon-client-test-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string copy = std::string(folder) + "/client";
    std::filesystem::copy_file("/proc/self/exe", copy);
    std::filesystem::permissions(folder, std::filesystem::perms(0755));
    std::filesystem::permissions(copy, std::filesystem::perms(0755));
    char program[4096] = {};
    copy.copy(program, sizeof program - 1);
    const std::string socketVariable = "VIGILON_TEST_SOCKET=" + guardian.folder.socketPath();
    const std::string hashVariable = "VIGILON_TEST_HASH=" + ownCodeHash();
    char filter[] = "--gtest_filter=WakeHelperClientAsUser.DISABLED_Ping";
    char alsoDisabled[] = "--gtest_also_run_disabled_tests";
    char* arguments[] = {program, filter, alsoDisabled, nullptr};
    char* environment[] = {const_cast<char*>(socketVariable.c_str()), const_cast<char*>(hashVariable.c_str()), nullptr};

    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(501, 501, 501) == 0 && ::setresuid(501, 501, 501) == 0)
            ::execve(program, arguments, environment);
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    std::filesystem::remove_all(folder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(guardian.control->calls, 1);
}

// Runs only inside the child above, as the unprivileged user.
TEST(WakeHelperClientAsUser, DISABLED_Ping) {
    const char* socketPath = std::getenv("VIGILON_TEST_SOCKET");
    const char* hash = std::getenv("VIGILON_TEST_HASH");
    ASSERT_TRUE(socketPath && hash);
    ASSERT_NE(::geteuid(), 0u);
    EXPECT_EQ(
        outcome([&] { return WakeHelperClient(socketPath, 20s).request("ping", 0, WakeThermalLimit::fair, hash); }),
        "3");
}

}  // namespace
