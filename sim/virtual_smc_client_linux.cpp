#include "virtual_smc_client_linux.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <nlohmann/json.hpp>

#include "virtual_smc_device.hpp"
#include "virtual_smc_socket_linux.hpp"
#include "virtual_smc_types.hpp"

namespace vsmc {

namespace {

std::string read_all(int fd, std::size_t limit) {
    std::string out;
    char buffer[4096];
    while (out.size() < limit) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

int complain(const std::string& text) {
    std::fprintf(stderr, "virtual-smc: %s\n", text.c_str());
    return 1;
}

}  // namespace

int run_ctl_client(const std::string& control_path, const std::vector<std::string>& words) {
    auto fd = connect_local(control_path);
    if (!fd) return complain(fd.error());
    const std::string line = nlohmann::json(words).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (!send_all(fd->get(), line.data(), line.size()) || !send_all(fd->get(), "\n", 1)) {
        return complain("control request not sent");
    }
    const auto reply = nlohmann::json::parse(read_all(fd->get(), 16 << 20), nullptr, false);
    if (!reply.is_object() || !reply.contains("ok") || !reply.contains("text") || !reply["ok"].is_boolean() ||
        !reply["text"].is_string()) {
        return complain("no answer from the device (root only)");
    }
    const std::string text = reply["text"].get<std::string>();
    if (!reply["ok"].get<bool>()) return complain(text);
    if (!text.empty()) std::printf("%s\n", text.c_str());
    return 0;
}

int run_probe(const std::string& device_path, const std::vector<std::string>& words) {
    static const char* usage = "usage: probe info KEY | probe read KEY | probe write KEY HEXBYTES";
    if (words.size() < 2 || words[1].size() != 4) return complain(usage);
    Record request{};
    std::uint8_t command = 0;
    std::vector<std::uint8_t> data;
    if (words[0] == "info" && words.size() == 2) {
        command = smc_record::kKeyInfo;
    } else if (words[0] == "read" && words.size() == 2) {
        command = smc_record::kReadKey;
    } else if (words[0] == "write" && words.size() == 3) {
        command = smc_record::kWriteKey;
        auto bytes = from_hex(words[2]);
        if (!bytes || bytes->size() > smc_record::kBytesCapacity) return complain(usage);
        data = std::move(*bytes);
    } else {
        return complain(usage);
    }
    set_record_u32(request, smc_record::kKey, smc_record::pack_key(words[1].c_str()));
    // A read asks for the whole capacity; the device answers with the key's own size.
    const std::size_t size = command == smc_record::kReadKey ? smc_record::kBytesCapacity : data.size();
    set_record_u32(request, smc_record::kDataSize, static_cast<std::uint32_t>(size));
    request[smc_record::kCommand] = command;
    std::copy(data.begin(), data.end(), request.begin() + smc_record::kBytes);

    auto fd = connect_local(device_path);
    if (!fd) return complain(fd.error());
    if (!send_all(fd->get(), request.data(), request.size())) return complain("request not sent");
    ::shutdown(fd->get(), SHUT_WR);
    const std::string raw = read_all(fd->get(), smc_record::kSize + 1);
    if (raw.size() != smc_record::kSize) return complain("answer of " + std::to_string(raw.size()) + " bytes");
    Record answer{};
    std::copy(raw.begin(), raw.end(), answer.begin());

    const std::uint32_t answered_size = record_u32(answer, smc_record::kDataSize);
    const std::string type = unpack_text(record_u32(answer, smc_record::kDataType));
    std::vector<std::uint8_t> bytes;
    if (command == smc_record::kReadKey) {
        const std::size_t n = std::min<std::size_t>(answered_size, smc_record::kBytesCapacity);
        bytes.assign(answer.begin() + smc_record::kBytes,
                     answer.begin() + static_cast<std::ptrdiff_t>(smc_record::kBytes + n));
    }
    std::printf("rc=0x%08x result=0x%02x size=%u type=\"%s\" bytes=%s\n",
                record_u32(answer, smc_record::kTransportReturn), answer[smc_record::kResult], answered_size,
                command == smc_record::kKeyInfo ? type.c_str() : "", to_hex(bytes).c_str());
    return 0;
}

}  // namespace vsmc
