#include "smc/smc.hpp"

#include <algorithm>
#include <charconv>
#include <utility>

namespace {

void store_u32(SmcRecord& record, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) record[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t load_u32(const SmcRecord& record, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{record[offset + i]} << (8 * i);
    return value;
}

// Each type byte is the character with that code point; bytes from 0x80 up therefore take two
// bytes of UTF-8, which keeps the text valid wherever it is shown and makes it fail the
// four-byte check of decoding and writing.
std::string type_text(std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<std::uint8_t>(code >> shift);
        if (byte < 0x80) {
            text.push_back(static_cast<char>(byte));
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

// Lower-case hexadecimal, zero-padded to `digits`.
std::string hex(std::uint32_t value, std::size_t digits) {
    char buffer[8];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, 16).ptr;
    const auto length = static_cast<std::size_t>(end - buffer);
    return std::string(length < digits ? digits - length : 0, '0') + std::string(buffer, length);
}

}  // namespace

FanResult<Smc> Smc::open() { return open(SmcPort::production()); }

FanResult<Smc> Smc::open(SmcPort port) {
    const std::uint32_t service = port.find_service();
    if (service == 0) return fan_error("AppleSMC를 찾을 수 없습니다.");

    std::uint32_t handle = 0;
    const std::uint32_t code = port.open_service(service, handle);
    port.release_service(service);

    if (code != smc_return::kSuccess) return fan_error("SMC 연결 실패 (0x" + hex(code, 8) + ")");
    return Smc(std::move(port), handle);
}

Smc::Smc(SmcPort smc_port, std::uint32_t connection_handle)
    : port(std::move(smc_port)), connection(connection_handle) {}

Smc::~Smc() { close(); }

Smc::Smc(Smc&& other) noexcept
    : port(std::move(other.port)),
      connection(std::exchange(other.connection, 0)),
      key_info_cache(std::move(other.key_info_cache)) {}

Smc& Smc::operator=(Smc&& other) noexcept {
    if (this != &other) {
        close();
        port = std::move(other.port);
        connection = std::exchange(other.connection, 0);
        key_info_cache = std::move(other.key_info_cache);
    }
    return *this;
}

void Smc::close() {
    if (connection != 0) port.close_connection(connection);
    connection = 0;
}

FanResult<SmcRecord> Smc::call(std::string_view key, std::uint8_t command, std::uint32_t data_size,
                               std::span<const std::uint8_t> data) {
    if (key.size() != 4 || data.size() > smc_record::kBytesCapacity || data_size > smc_record::kBytesCapacity) {
        return fan_error("SMC 요청 범위 오류");
    }

    SmcRecord input{};
    store_u32(input, smc_record::kKey, smc_record::pack_key(key.data()));
    store_u32(input, smc_record::kDataSize, data_size);
    input[smc_record::kCommand] = command;
    std::ranges::copy(data, input.begin() + smc_record::kBytes);

    SmcRecord output{};
    std::size_t output_size = smc_record::kSize;
    // A moved-from Smc has no connection; it answers like a closed one instead of crashing.
    const std::uint32_t code = connection != 0
                                   ? port.call_struct(connection, smc_record::kSelector, input, output, output_size)
                                   : smc_return::kNotOpen;

    if (code != smc_return::kSuccess) return fan_error(std::string(key) + " 접근 실패 (0x" + hex(code, 8) + ")");
    if (output_size != smc_record::kSize || output[smc_record::kResult] != smc_record::kResultOk) {
        return fan_error(std::string(key) + " SMC 응답 오류 (0x" + hex(output[smc_record::kResult], 2) + ")");
    }
    return output;
}

FanResult<Smc::KeyInfo> Smc::metadata(std::string_view key) {
    if (const auto cached = key_info_cache.find(key); cached != key_info_cache.end()) {
        return cached->second;
    }

    const auto output = call(key, smc_record::kKeyInfo, 0, {});
    if (!output) return std::unexpected(output.error());

    std::string type = type_text(load_u32(*output, smc_record::kDataType));

    const std::uint32_t size = load_u32(*output, smc_record::kDataSize);
    if (size < 1 || size > smc_record::kBytesCapacity) {
        return fan_error(std::string(key) + "의 데이터 크기가 올바르지 않습니다.");
    }

    KeyInfo info{size, std::move(type)};
    key_info_cache.emplace(std::string(key), info);
    return info;
}

FanResult<SmcValue> Smc::read(std::string_view key) {
    const auto info = metadata(key);
    if (!info) return std::unexpected(info.error());

    const auto output = call(key, smc_record::kReadKey, info->size, {});
    if (!output) return std::unexpected(output.error());

    const auto first = output->begin() + smc_record::kBytes;
    return SmcValue{info->type, std::vector<std::uint8_t>(first, first + info->size)};
}

FanResult<void> Smc::write(std::string_view key, double value) {
    const auto info = metadata(key);
    if (!info) return std::unexpected(info.error());

    // The value check comes before the type check inside the encoder.
    const auto encoded = encode_smc_value(info->type, info->size, value);
    if (!encoded) return std::unexpected(encoded.error());

    const auto written = call(key, smc_record::kWriteKey, info->size, *encoded);
    if (written) return {};

    // The controller may report a failure for a write that took effect; the key's value at
    // the key's own precision decides.
    const auto expected = SmcValue{info->type, *encoded}.number();
    const auto again = read(key);
    if (again && expected) {
        const auto actual = again->number();
        if (actual && *actual == *expected) return {};
    }
    return std::unexpected(written.error());
}
