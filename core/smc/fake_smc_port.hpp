#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "smc/smc_port.hpp"

// An SMC user client in memory: a small key table answered record by record the way the
// controller does, plus knobs for the failures a test needs. The state is shared so that a
// test can still look at it after `Smc` has taken the port.
struct FakeSmcKey {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> bytes;
    std::optional<std::uint32_t> reported_size;  // key-info size, when it should differ
    std::uint32_t write_code = 0;                // return code of a write call
    std::uint8_t write_result = 0;               // result byte of a write
    bool write_takes_effect = true;              // stored even when reported as failed
    std::uint8_t read_result = 0;

    static FakeSmcKey of(const char type_text[5], std::vector<std::uint8_t> value) {
        FakeSmcKey key;
        key.type = smc_record::pack_key(type_text);
        key.bytes = std::move(value);
        return key;
    }
};

struct FakeSmcState {
    bool has_service = true;
    std::uint32_t open_code = 0;
    std::map<std::string, FakeSmcKey> keys;
    std::optional<std::uint32_t> next_code;       // one-shot return code of the next call
    std::optional<std::size_t> next_output_size;  // one-shot output size of the next call

    int finds = 0;
    int releases = 0;
    std::vector<std::uint32_t> closed;
    std::vector<SmcRecord> requests;

    std::vector<std::uint8_t> commands() const {
        std::vector<std::uint8_t> out;
        for (const auto& r : requests) out.push_back(r[smc_record::kCommand]);
        return out;
    }
};

class FakeSmcPort {
public:
    static constexpr std::uint32_t kService = 0x1234;
    static constexpr std::uint32_t kConnection = 0x5678;

    explicit FakeSmcPort(std::shared_ptr<FakeSmcState> state) : state_(std::move(state)) {}

    std::uint32_t find_service() {
        ++state_->finds;
        return state_->has_service ? kService : 0;
    }

    std::uint32_t open_service(std::uint32_t service, std::uint32_t& connection) {
        if (service != kService) return smc_return::kNoDevice;
        if (state_->open_code != 0) return state_->open_code;
        connection = kConnection;
        return 0;
    }

    void release_service(std::uint32_t service) {
        if (service == kService) ++state_->releases;
    }

    std::uint32_t call_struct(std::uint32_t connection, std::uint32_t selector, const SmcRecord& input,
                              SmcRecord& output, std::size_t& output_size) {
        state_->requests.push_back(input);
        if (connection != kConnection || selector != smc_record::kSelector) return smc_return::kError;
        output = {};
        output_size = smc_record::kSize;
        if (state_->next_output_size) output_size = *std::exchange(state_->next_output_size, std::nullopt);
        if (state_->next_code) return *std::exchange(state_->next_code, std::nullopt);

        const auto key = unpack(load(input, smc_record::kKey));
        const auto found = state_->keys.find(key);
        if (found == state_->keys.end()) {
            output[smc_record::kResult] = smc_record::kResultUnknownKey;
            return 0;
        }
        FakeSmcKey& entry = found->second;
        const std::uint32_t size = load(input, smc_record::kDataSize);
        switch (input[smc_record::kCommand]) {
            case smc_record::kKeyInfo:
                store(output, smc_record::kDataSize,
                      entry.reported_size.value_or(static_cast<std::uint32_t>(entry.bytes.size())));
                store(output, smc_record::kDataType, entry.type);
                return 0;
            case smc_record::kReadKey:
                output[smc_record::kResult] = entry.read_result;
                for (std::size_t i = 0; i < entry.bytes.size() && i < size; ++i) {
                    output[smc_record::kBytes + i] = entry.bytes[i];
                }
                return 0;
            case smc_record::kWriteKey:
                if (entry.write_takes_effect) {
                    entry.bytes.assign(input.begin() + smc_record::kBytes,
                                       input.begin() + static_cast<std::ptrdiff_t>(smc_record::kBytes + size));
                }
                output[smc_record::kResult] = entry.write_result;
                return entry.write_code;
            default: output[smc_record::kResult] = 0x80; return 0;
        }
    }

    void close_connection(std::uint32_t connection) { state_->closed.push_back(connection); }

    // The port `Smc` takes; the state stays shared with the test.
    SmcPort port() const {
        return SmcPort{
            .find_service = [self = *this]() mutable { return self.find_service(); },
            .open_service = [self = *this](
                                std::uint32_t service,
                                std::uint32_t& connection) mutable { return self.open_service(service, connection); },
            .release_service = [self = *this](std::uint32_t service) mutable { self.release_service(service); },
            .call_struct =
                [self = *this](std::uint32_t connection, std::uint32_t selector, const SmcRecord& input,
                               SmcRecord& output, std::size_t& output_size) mutable {
                    return self.call_struct(connection, selector, input, output, output_size);
                },
            .close_connection = [self = *this](std::uint32_t connection) mutable { self.close_connection(connection); },
        };
    }

    static std::uint32_t load(const SmcRecord& r, std::size_t at) {
        return std::uint32_t{r[at]} | std::uint32_t{r[at + 1]} << 8 | std::uint32_t{r[at + 2]} << 16 |
               std::uint32_t{r[at + 3]} << 24;
    }

private:
    static void store(SmcRecord& r, std::size_t at, std::uint32_t v) {
        for (std::size_t i = 0; i < 4; ++i) r[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    static std::string unpack(std::uint32_t key) {
        return {static_cast<char>(key >> 24), static_cast<char>(key >> 16), static_cast<char>(key >> 8),
                static_cast<char>(key)};
    }

    std::shared_ptr<FakeSmcState> state_;
};
