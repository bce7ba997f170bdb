#include "virtual_smc_device.hpp"

#include <algorithm>
#include <cstring>

namespace vsmc {

namespace {

constexpr std::size_t kWriteLogLength = 64;

unsigned op_of(std::uint8_t command) {
    switch (command) {
        case smc_record::kKeyInfo: return kOpInfo;
        case smc_record::kReadKey: return kOpRead;
        case smc_record::kWriteKey: return kOpWrite;
        default: return 0;
    }
}

}  // namespace

std::uint32_t record_u32(const Record& record, std::size_t at) {
    return std::uint32_t{record[at]} | std::uint32_t{record[at + 1]} << 8 | std::uint32_t{record[at + 2]} << 16 |
           std::uint32_t{record[at + 3]} << 24;
}

void set_record_u32(Record& record, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) record[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::string unpack_text(std::uint32_t packed) {
    std::string text(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) text[i] = static_cast<char>(packed >> (24 - 8 * i));
    return text;
}

std::optional<Fault> Device::take_fault(const std::string& key, unsigned op) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->key != key || (it->ops & op) == 0) continue;
        Fault fault = *it;
        // A limited fault is used up by its last occurrence; an unlimited one (0) stays.
        if (it->remaining > 0) {
            --it->remaining;
            if (it->remaining == 0) faults_.erase(it);
        }
        return fault;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Device::take_info_size(const std::string& key) {
    for (auto it = info_sizes_.begin(); it != info_sizes_.end(); ++it) {
        if (it->key != key) continue;
        const std::uint32_t size = it->size;
        if (it->remaining > 0) {
            --it->remaining;
            if (it->remaining == 0) info_sizes_.erase(it);
        }
        return size;
    }
    return std::nullopt;
}

void Device::clear_faults(const std::optional<std::string>& key) {
    std::erase_if(faults_, [&](const Fault& f) { return !key || f.key == *key; });
    std::erase_if(info_sizes_, [&](const InfoSize& s) { return !key || s.key == *key; });
}

void Device::log_write(double now, const std::string& key, std::vector<std::uint8_t> bytes, std::uint8_t result,
                       std::uint32_t transport) {
    writes_.push_back({now - start_, key, std::move(bytes), result, transport});
    if (writes_.size() > kWriteLogLength) writes_.pop_front();
}

Record Device::handle(const Record& request, double now, Caller caller) {
    machine_.advance(now);

    const std::string key = unpack_text(record_u32(request, smc_record::kKey));
    const std::uint8_t command = request[smc_record::kCommand];
    const std::uint32_t size = record_u32(request, smc_record::kDataSize);
    const std::size_t sent = std::min<std::size_t>(size, smc_record::kBytesCapacity);
    const std::vector<std::uint8_t> data(request.begin() + smc_record::kBytes,
                                         request.begin() + static_cast<std::ptrdiff_t>(smc_record::kBytes + sent));

    Record answer{};
    std::copy_n(request.begin() + smc_record::kKey, 4, answer.begin() + smc_record::kKey);
    answer[smc_record::kCommand] = command;

    const unsigned op = op_of(command);
    auto& counts = counts_[key];
    if (op == kOpInfo) ++counts.info;
    if (op == kOpRead) ++counts.read;
    if (op == kOpWrite) ++counts.write;

    // Refused by the kernel before the device sees it: nothing is stored, no fault is used up.
    if (op == kOpWrite && caller != Caller::root) {
        set_record_u32(answer, smc_record::kTransportReturn, smc_return::kNotPrivileged);
        log_write(now, key, data, 0, smc_return::kNotPrivileged);
        return answer;
    }

    if (op != 0) {
        if (const auto fault = take_fault(key, op)) {
            std::uint8_t applied_result = 0;
            if (op == kOpWrite && fault->applied && size <= smc_record::kBytesCapacity) {
                applied_result = machine_.write(key, data, now);
            }
            if (fault->transport) {
                set_record_u32(answer, smc_record::kTransportReturn, fault->code);
            } else {
                answer[smc_record::kResult] = static_cast<std::uint8_t>(fault->code);
            }
            if (op == kOpWrite) {
                log_write(now, key, data, fault->transport ? applied_result : answer[smc_record::kResult],
                          fault->transport ? fault->code : 0);
            }
            return answer;
        }
    }

    const auto& keys = machine_.keys();
    const auto it = keys.find(key);
    switch (op) {
        case kOpInfo:
            if (it == keys.end()) {
                answer[smc_record::kResult] = smc_record::kResultUnknownKey;
                break;
            }
            set_record_u32(answer, smc_record::kDataSize,
                           take_info_size(key).value_or(static_cast<std::uint32_t>(it->second.bytes.size())));
            set_record_u32(answer, smc_record::kDataType, smc_record::pack_key(it->second.type.c_str()));
            break;
        case kOpRead:
            if (it == keys.end()) {
                answer[smc_record::kResult] = smc_record::kResultUnknownKey;
                break;
            }
            // The device answers with its own size, whatever size the caller assumed.
            set_record_u32(answer, smc_record::kDataSize, static_cast<std::uint32_t>(it->second.bytes.size()));
            std::copy_n(it->second.bytes.begin(), std::min(it->second.bytes.size(), smc_record::kBytesCapacity),
                        answer.begin() + smc_record::kBytes);
            break;
        case kOpWrite:
            answer[smc_record::kResult] =
                size > smc_record::kBytesCapacity ? smc_record::kResultRefused : machine_.write(key, data, now);
            log_write(now, key, data, answer[smc_record::kResult], 0);
            break;
        default: answer[smc_record::kResult] = kResultBadCommand; break;
    }
    return answer;
}

}  // namespace vsmc
