#include "smc/smc_port_linux.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "smc/smc.hpp"
#include "sys/unique_fd.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// What the device sends back for one request; `hang_up` closes the connection after it.
struct Answer {
    Bytes bytes;
    bool hang_up = false;
};

// A device on a socket in a private temporary directory.
class FakeDevice {
public:
    explicit FakeDevice(std::function<Answer(const SmcRecord&)> answer) : answer_(std::move(answer)) {
        char dir_template[] = "/tmp/smc-port-test.XXXXXX";
        dir_ = ::mkdtemp(dir_template);
        path_ = dir_ + "/smc.sock";

        listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_.get(), 1) != 0) {
            ADD_FAILURE() << "cannot listen on " << path_;
            return;
        }
        server_ = std::thread([this] { serve(); });
    }

    ~FakeDevice() {
        ::shutdown(listener_.get(), SHUT_RDWR);  // wakes an accept that never got a client
        if (server_.joinable()) server_.join();
        std::filesystem::remove_all(dir_);
    }

    const std::string& path() const { return path_; }
    const std::string& dir() const { return dir_; }

private:
    // One connection after another, as a port that reconnects makes them.
    void serve() {
        for (;;) {
            UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) return;
            serve_client(client.get());
        }
    }

    void serve_client(int client) {
        for (;;) {
            SmcRecord request{};
            std::size_t got = 0;
            while (got < request.size()) {
                const ssize_t n = ::recv(client, request.data() + got, request.size() - got, 0);
                if (n <= 0) return;
                got += static_cast<std::size_t>(n);
            }
            const Answer answer = answer_(request);
            if (!answer.bytes.empty() && ::send(client, answer.bytes.data(), answer.bytes.size(), MSG_NOSIGNAL) < 0) {
                return;
            }
            if (answer.hang_up) return;
        }
    }

    std::function<Answer(const SmcRecord&)> answer_;
    std::string dir_;
    std::string path_;
    UniqueFd listener_;
    std::thread server_;
};

// Answers every key as an "fpe2" key holding 1000 RPM.
Answer fan_at_1000(const SmcRecord& request) {
    Bytes out(smc_record::kSize, 0);
    if (request[smc_record::kCommand] == smc_record::kKeyInfo) {
        out[smc_record::kDataSize] = 2;
        const std::uint32_t type = smc_record::pack_key("fpe2");
        for (std::size_t i = 0; i < 4; ++i) out[smc_record::kDataType + i] = static_cast<std::uint8_t>(type >> (8 * i));
    } else {
        out[smc_record::kBytes] = 0x0F;
        out[smc_record::kBytes + 1] = 0xA0;
    }
    return {out};
}

std::string error_of(const FanResult<SmcValue>& result) { return result ? "(ok)" : result.error().message; }

TEST(SocketSmcPort, ServiceOnlyForOwnedSocketInClosedDirectory) {
    FakeDevice device(fan_at_1000);
    EXPECT_NE(make_socket_smc_port(device.path(), ::geteuid()).find_service(), 0u);
    EXPECT_EQ(make_socket_smc_port(device.path(), ::geteuid() + 1).find_service(), 0u);
    EXPECT_EQ(make_socket_smc_port(device.dir() + "/absent.sock", ::geteuid()).find_service(), 0u);

    std::ofstream(device.dir() + "/plain") << "x";
    EXPECT_EQ(make_socket_smc_port(device.dir() + "/plain", ::geteuid()).find_service(), 0u);

    ::chmod(device.dir().c_str(), 0770);
    EXPECT_EQ(make_socket_smc_port(device.path(), ::geteuid()).find_service(), 0u);
    ::chmod(device.dir().c_str(), 0700);
}

// Someone else's socket in the owner's closed directory is no SMC, and neither is a device that
// does not itself run as the owner, whoever owns the files. Changing owners needs root.
TEST(SocketSmcPort, SocketAndPeerMustBothBeTheOwners) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
    constexpr uid_t kOther = 4242;
    FakeDevice device(fan_at_1000);
    ASSERT_EQ(::chown(device.path().c_str(), kOther, kOther), 0);
    EXPECT_EQ(make_socket_smc_port(device.path(), 0).find_service(), 0u);

    ASSERT_EQ(::chown(device.dir().c_str(), kOther, kOther), 0);
    auto port = make_socket_smc_port(device.path(), kOther);
    const std::uint32_t service = port.find_service();
    ASSERT_NE(service, 0u) << "files all the owner's";
    std::uint32_t connection = 0;
    EXPECT_EQ(port.open_service(service, connection), smc_return::kNotPermitted) << "the device runs as root";
    EXPECT_EQ(connection, 0u);
}

TEST(SocketSmcPort, SmcReadsThroughTheSocket) {
    FakeDevice device(fan_at_1000);
    auto smc = Smc::open(make_socket_smc_port(device.path(), ::geteuid()));
    ASSERT_TRUE(smc) << smc.error().message;
    const auto value = smc->read("F0Ac");
    ASSERT_TRUE(value) << value.error().message;
    EXPECT_EQ(value->type, "fpe2");
    EXPECT_EQ(value->number(), 1000.0);
}

TEST(SocketSmcPort, DeviceReturnCodeIsTheCallsCodeAndIsCleared) {
    FakeDevice device([](const SmcRecord&) {
        Bytes out(smc_record::kSize, 0);
        out[smc_record::kTransportReturn] = 0xc7;
        out[smc_record::kTransportReturn + 1] = 0x02;
        out[smc_record::kTransportReturn + 3] = 0xe0;
        out[smc_record::kResult] = 0x82;
        return Answer{out};
    });
    auto port = make_socket_smc_port(device.path(), ::geteuid());
    std::uint32_t connection = 0;
    ASSERT_EQ(port.open_service(port.find_service(), connection), 0u);
    ASSERT_NE(connection, 0u);

    SmcRecord output{};
    std::size_t size = output.size();
    EXPECT_EQ(port.call_struct(connection, smc_record::kSelector, SmcRecord{}, output, size), 0xe00002c7u);
    EXPECT_EQ(size, smc_record::kSize);
    EXPECT_EQ(output[smc_record::kTransportReturn], 0);
    EXPECT_EQ(output[smc_record::kTransportReturn + 3], 0);
    EXPECT_EQ(output[smc_record::kResult], 0x82);
    port.close_connection(connection);
}

Answer half_and_hang_up(const SmcRecord&) {
    Bytes half(smc_record::kSize / 2, 0);
    half[smc_record::kDataSize] = 2;
    return Answer{half, true};
}

TEST(SocketSmcPort, HalfAnswerFailsCleanlyAndRetiresTheConnection) {
    FakeDevice device(half_and_hang_up);
    auto smc = Smc::open(make_socket_smc_port(device.path(), ::geteuid(), 3600));
    ASSERT_TRUE(smc) << smc.error().message;
    EXPECT_EQ(error_of(smc->read("F0Ac")), "F0Ac SMC 응답 오류 (0x00)");
    EXPECT_EQ(error_of(smc->read("F0Ac")), "F0Ac 접근 실패 (0xe00002ed)");
}

TEST(SocketSmcPort, DeviceThatRecoversIsReachedAgainOnAFreshConnection) {
    int requests = 0;
    FakeDevice device([&requests](const SmcRecord& request) {
        return ++requests == 1 ? half_and_hang_up(request) : fan_at_1000(request);
    });
    auto smc = Smc::open(make_socket_smc_port(device.path(), ::geteuid(), 0));
    ASSERT_TRUE(smc) << smc.error().message;
    EXPECT_EQ(error_of(smc->read("F0Ac")), "F0Ac SMC 응답 오류 (0x00)");
    const auto value = smc->read("F0Ac");
    ASSERT_TRUE(value) << value.error().message;
    EXPECT_EQ(value->number(), 1000.0);
}

TEST(SocketSmcPort, NoReconnectionWhileThePathIsNotTheOwnersAnyMore) {
    FakeDevice device(half_and_hang_up);
    auto smc = Smc::open(make_socket_smc_port(device.path(), ::geteuid(), 0));
    ASSERT_TRUE(smc) << smc.error().message;
    EXPECT_EQ(error_of(smc->read("F0Ac")), "F0Ac SMC 응답 오류 (0x00)");
    ASSERT_EQ(::chmod(device.dir().c_str(), 0777), 0);
    EXPECT_EQ(error_of(smc->read("F0Ac")), "F0Ac 접근 실패 (0xe00002ed)");
}

TEST(SocketSmcPort, NoDeviceListeningFailsTheOpen) {
    char dir_template[] = "/tmp/smc-port-test.XXXXXX";
    const std::string dir = ::mkdtemp(dir_template);
    const std::string path = dir + "/smc.sock";
    {
        // A socket file that nobody listens on any more.
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    auto smc = Smc::open(make_socket_smc_port(path, ::geteuid()));
    ASSERT_FALSE(smc);
    EXPECT_EQ(smc.error().message, "SMC 연결 실패 (0xe00002c0)");
    std::filesystem::remove_all(dir);
}

}  // namespace
