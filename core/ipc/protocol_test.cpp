#include "ipc/protocol.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "sys/unique_fd.hpp"

namespace {

using namespace std::string_literals;

Request make_request(std::string command, std::optional<std::int64_t> fan = std::nullopt,
                     std::optional<double> rpm = std::nullopt, std::optional<double> ceiling = std::nullopt) {
    return Request{std::move(command), fan, rpm, ceiling};
}

void expect_decodes(std::string_view line, const Request& expected) {
    const auto decoded = decode_request(line);
    ASSERT_TRUE(decoded.has_value()) << line;
    EXPECT_EQ(*decoded, expected) << line;
}

void expect_malformed(std::string_view line) {
    const auto decoded = decode_request(line);
    ASSERT_FALSE(decoded.has_value()) << line;
    EXPECT_EQ(decoded.error().message, kMalformedRequest) << line;
}

TEST(DecodeRequest, ObjectAndArrayFormsAreTheSameRequest) {
    expect_decodes(R"({"command":"ping"})", make_request("ping"));
    expect_decodes(R"({"command":"set","fan":0,"rpm":2000})", make_request("set", 0, 2000.0));
    expect_decodes(R"(["set",0,2000])", make_request("set", 0, 2000.0));
    expect_decodes(R"({"rpm":2000,"fan":0,"command":"set"})", make_request("set", 0, 2000.0));
    expect_decodes(R"(["set"])", make_request("set"));
    expect_decodes(R"(["heartbeat",null,null,3000.5])", make_request("heartbeat", std::nullopt, std::nullopt, 3000.5));
}

TEST(DecodeRequest, NullMembersAreAbsent) {
    expect_decodes(R"({"command":"heartbeat","ceiling":null})", make_request("heartbeat"));
    expect_decodes(R"({"command":"set","fan":null,"rpm":null})", make_request("set"));
    expect_decodes(R"(["set",null,null,null])", make_request("set"));
}

TEST(DecodeRequest, UnknownMembersAreIgnoredWhateverTheirValue) {
    expect_decodes(R"({"command":"heartbeat","extra":[1,[2,{"a":null}],"x"]})", make_request("heartbeat"));
    expect_decodes(R"({"x":{"fan":"not a fan","command":7},"command":"heartbeat","y":true})",
                   make_request("heartbeat"));
}

TEST(DecodeRequest, FanIsASigned64BitIntegerOnly) {
    expect_decodes(R"({"command":"set","fan":9223372036854775807})", make_request("set", INT64_MAX));
    expect_decodes(R"({"command":"set","fan":-9223372036854775808})", make_request("set", INT64_MIN));
    expect_malformed(R"({"command":"set","fan":1.0})");
    expect_malformed(R"({"command":"set","fan":1e2})");
    expect_malformed(R"({"command":"set","fan":9223372036854775808})");
    expect_malformed(R"({"command":"set","fan":-9223372036854775809})");
    expect_malformed(R"({"command":"set","fan":"1"})");
    expect_malformed(R"({"command":"set","fan":true})");
    expect_malformed(R"(["set",1.5,2000])");
}

TEST(DecodeRequest, RpmAndCeilingTakeAnyNumberInDoubleRange) {
    expect_decodes(R"({"command":"setAll","rpm":1e3,"ceiling":-0.5})",
                   make_request("setAll", std::nullopt, 1000.0, -0.5));
    expect_decodes(R"({"command":"setAll","rpm":18446744073709551616})",
                   make_request("setAll", std::nullopt, 18446744073709551616.0));
    expect_decodes(R"({"command":"setAll","rpm":1.7976931348623157e308})",
                   make_request("setAll", std::nullopt, 1.7976931348623157e308));
    expect_malformed(R"({"command":"setAll","rpm":1e400})");
    expect_malformed(R"({"command":"setAll","ceiling":-1e309})");
    expect_malformed("{\"command\":\"setAll\",\"rpm\":1" + std::string(400, '0') + "}");
    expect_malformed(R"({"command":"setAll","rpm":"2000"})");
    expect_malformed(R"({"command":"setAll","rpm":[2000]})");
}

TEST(DecodeRequest, CommandIsARequiredString) {
    expect_decodes(R"({"command":"\u0070ing"})", make_request("ping"));
    expect_decodes(R"({"command":"a\u0000b"})", make_request("a\0b"s));
    expect_malformed(R"({"fan":0,"rpm":2000})");
    expect_malformed(R"({"command":null})");
    expect_malformed(R"({"command":5})");
    expect_malformed(R"([null])");
    expect_malformed(R"([0,"set"])");
    expect_malformed(R"([])");
    expect_malformed(R"({})");
    expect_malformed(R"("ping")");
    expect_malformed("null");
}

TEST(DecodeRequest, RepeatedMembersAndExtraElementsAreMalformed) {
    expect_malformed(R"({"command":"set","fan":0,"fan":1,"rpm":2000})");
    expect_malformed(R"({"command":"ping","command":"ping"})");
    expect_malformed(R"({"command":"set","fan":null,"fan":null})");
    expect_malformed(R"({"command":"ping","x":{"a":1,"a":2}})");
    expect_malformed(R"(["set",0,2000,3000,1])");
}

TEST(DecodeRequest, OnlyWhitespaceMaySurroundTheValue) {
    expect_decodes(" \t\r{\"command\":\"ping\"} \t\r", make_request("ping"));
    expect_malformed("");
    expect_malformed(" \t");
    expect_malformed(R"({"command":"ping"}x)");
    expect_malformed(R"({"command":"ping"}{})");
    expect_malformed(R"({"command":"ping"},)");
    expect_malformed("{\"command\":\"ping\"}\n");
    expect_malformed(R"({"command":"ping"} /* note */)");
    expect_malformed(R"({"command":"ping")");
}

TEST(DecodeRequest, RawBytesTheParserWouldOverlookAreMalformed) {
    // The parser would stop at the NUL and skip the byte-order mark, accepting both lines.
    expect_malformed("{\"command\":\"ping\"}\0garbage"s);
    expect_malformed("\0{\"command\":\"ping\"}"s);
    expect_malformed("\xEF\xBB\xBF{\"command\":\"ping\"}");
    expect_malformed("{\"command\":\"p\xFFng\"}");
    expect_malformed(R"({"command":"\ud800"})");
}

Snapshot sample_snapshot() {
    Snapshot snapshot;
    snapshot.temperature = 52.5;
    snapshot.fans.push_back(Fan{0, 1200.0, 1000.0, 6000.0, 2000.0, 1});
    snapshot.controlled = {0};
    snapshot.notice = "n\"1";
    snapshot.thermal = 1;
    return snapshot;
}

TEST(EncodeReply, MembersInOrderAndEmptyReplyIsBraces) {
    EXPECT_EQ(encode_reply(Reply{}), "{}");
    Reply error_only;
    error_only.error = kRequestTooLarge;
    EXPECT_EQ(encode_reply(error_only), "{\"error\":\"요청 크기 초과\"}");
    Reply both;
    both.snapshot = sample_snapshot();
    both.error = "bad\nline";
    EXPECT_EQ(encode_reply(both), R"({"snapshot":{"fans":[{"id":0,"actual":1200.0,"minimum":1000.0,"maximum":6000.0,)"
                                  R"("target":2000.0,"mode":1}],"temperature":52.5,"thermal":1,"notice":"n\"1",)"
                                  R"("controlled":[0]},"error":"bad\nline"})");
}

std::string read_available(int fd) {
    std::string received;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) return received;
        received.append(buffer, static_cast<std::size_t>(n));
    }
}

struct SocketPair {
    UniqueFd writer;
    UniqueFd reader;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            writer.reset(fds[0]);
            reader.reset(fds[1]);
        }
    }
};

Reply error_of_size(std::size_t json_size) {
    // {"error":"…"} adds 12 bytes around the text.
    Reply reply;
    reply.error = std::string(json_size - 12, 'e');
    return reply;
}

TEST(SendJson, WritesOneLine) {
    SocketPair pair;
    ASSERT_TRUE(send_json(Reply{}, pair.writer.get()).has_value());
    EXPECT_EQ(read_available(pair.reader.get()), "{}\n");
}

TEST(SendJson, ReplyOfTheLimitIsNotWritten) {
    SocketPair pair;
    const Reply fits = error_of_size(kLineLimit - 1);
    ASSERT_EQ(encode_reply(fits).size(), kLineLimit - 1);
    ASSERT_TRUE(send_json(fits, pair.writer.get()).has_value());
    EXPECT_EQ(read_available(pair.reader.get()), encode_reply(fits) + "\n");

    const auto refused = send_json(error_of_size(kLineLimit), pair.writer.get());
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message, kReplyTooLarge);
    EXPECT_EQ(read_available(pair.reader.get()), "");
}

TEST(SendJson, ClosedPeerIsAFailureNotASignal) {
    SocketPair pair;
    pair.reader.reset();
    // With the default action a SIGPIPE would end this test program.
    const auto previous = ::signal(SIGPIPE, SIG_DFL);
    const auto sent = send_json(Reply{}, pair.writer.get());
    ::signal(SIGPIPE, previous);
    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error().message, kSendFailed);
}

TEST(SendJson, NotASocketIsAFailure) {
    const UniqueFd file(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    const auto sent = send_json(Reply{}, file.get());
    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error().message, kSendFailed);
}

void on_test_signal(int) {}

// A tiny send buffer and signals without automatic restart make the kernel take the line in
// pieces and interrupt the writes; every byte must still arrive once and in order.
TEST(SendJson, PartialAndInterruptedWritesDeliverTheWholeLine) {
    SocketPair pair;
    const int small = 1024;
    ::setsockopt(pair.writer.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    struct sigaction action {};
    action.sa_handler = on_test_signal;
    struct sigaction previous {};
    ::sigaction(SIGUSR1, &action, &previous);

    Reply reply;
    reply.snapshot = sample_snapshot();
    reply.snapshot->fans.assign(150, Fan{7, 1234.5, 1000.0, 6000.0, std::nullopt, 0});
    const std::string expected = encode_reply(reply) + "\n";
    ASSERT_LT(expected.size(), kLineLimit);

    std::atomic<bool> done{false};
    std::string received;
    std::thread reader([&] {
        char buffer[97];
        while (received.size() < expected.size()) {
            const ssize_t n = ::read(pair.reader.get(), buffer, sizeof buffer);
            if (n <= 0) break;
            received.append(buffer, static_cast<std::size_t>(n));
        }
    });
    const pthread_t sender = ::pthread_self();
    std::thread interrupter([&] {
        while (!done.load()) {
            ::pthread_kill(sender, SIGUSR1);
            std::this_thread::yield();
        }
    });

    const auto sent = send_json(reply, pair.writer.get());
    done = true;
    interrupter.join();
    reader.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    ASSERT_TRUE(sent.has_value()) << sent.error().message;
    EXPECT_EQ(received, expected);
}

}  // namespace
