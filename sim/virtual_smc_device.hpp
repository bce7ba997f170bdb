#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "smc/smc_port.hpp"
#include "smc/smc_record.hpp"
#include "virtual_smc_physics.hpp"

namespace vsmc {

using Record = std::array<std::uint8_t, smc_record::kSize>;

// Little-endian 32-bit fields of a record.
std::uint32_t record_u32(const Record& record, std::size_t at);
void set_record_u32(Record& record, std::size_t at, std::uint32_t value);

// Four characters packed with the first in the top byte ("FNum", "flt ").
std::string unpack_text(std::uint32_t packed);

// Which commands an injected fault applies to.
enum OpMask : unsigned { kOpInfo = 1, kOpRead = 2, kOpWrite = 4, kOpAll = 7 };

// A fault armed by the control command: the next `remaining` calls on `key` (any remaining < 0:
// for good) fail with a transport return code or a result byte.
struct Fault {
    std::string key;
    int remaining = 1;
    unsigned ops = kOpAll;
    bool transport = false;  // code is the call's return code, else the result byte
    std::uint32_t code = 0;
    bool applied = false;  // a failing write still takes effect
};

// The next `remaining` key-info answers for `key` report `size` as the data size.
struct InfoSize {
    std::string key;
    int remaining = 1;
    std::uint32_t size = 0;
};

struct CallCounts {
    unsigned info = 0, read = 0, write = 0;
};

struct WriteLogEntry {
    double time = 0;
    std::string key;
    std::vector<std::uint8_t> bytes;
    std::uint8_t result = 0;
    std::uint32_t transport = 0;
};

// Result byte for a command code the device does not know.
inline constexpr std::uint8_t kResultBadCommand = 0x8a;

// Who sent a request. The kernel lets only root write to the SMC; reading is open to all.
enum class Caller { root, user };

// The device as a client sees it: 80-byte requests in, 80-byte answers out.
class Device {
public:
    Device(Machine machine, double now) : machine_(std::move(machine)), start_(now) {}

    Record handle(const Record& request, double now, Caller caller);

    Machine& machine() { return machine_; }
    const Machine& machine() const { return machine_; }
    double start() const { return start_; }

    void add_fault(Fault fault) { faults_.push_back(std::move(fault)); }
    void add_info_size(InfoSize entry) { info_sizes_.push_back(std::move(entry)); }
    void clear_faults(const std::optional<std::string>& key);
    const std::vector<Fault>& faults() const { return faults_; }
    const std::vector<InfoSize>& info_sizes() const { return info_sizes_; }

    const std::map<std::string, CallCounts>& counts() const { return counts_; }
    const std::deque<WriteLogEntry>& writes() const { return writes_; }
    void reset_counts() {
        counts_.clear();
        writes_.clear();
    }

private:
    std::optional<Fault> take_fault(const std::string& key, unsigned op);
    std::optional<std::uint32_t> take_info_size(const std::string& key);
    void log_write(double now, const std::string& key, std::vector<std::uint8_t> bytes, std::uint8_t result,
                   std::uint32_t transport);

    Machine machine_;
    double start_;
    std::vector<Fault> faults_;
    std::vector<InfoSize> info_sizes_;
    std::map<std::string, CallCounts> counts_;
    std::deque<WriteLogEntry> writes_;
};

}  // namespace vsmc
