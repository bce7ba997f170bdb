#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fan_error.hpp"
#include "smc/smc_value.hpp"

// An in-memory SMC for tests: a table of keys (type text and bytes), with writes encoded by
// the same rules as the real one. Every call is recorded in order. A test can make writes
// fail, and make a key show its previous value for a while after a write, as a slow SMC does.
class FakeHardware {
public:
    struct Call {
        bool write = false;
        std::string key;
        double value = 0;                  // the value written
        bool ok = false;                   // the call's outcome
        std::optional<double> read_value;  // the number a successful read decoded to
    };

    // How a write fails: its error text, and whether the value landed anyway (the SMC
    // reported a failure for a write it did perform).
    struct WriteFault {
        std::string message;
        bool applied = false;
    };

    std::map<std::string, SmcValue, std::less<>> keys;
    std::vector<Call> calls;
    // Consulted for every write that would otherwise go through; nothing means success.
    std::function<std::optional<WriteFault>(std::string_view key, double value)> write_fault;
    // Consulted for every read of an existing key; a text makes the read fail with it.
    std::function<std::optional<std::string>(std::string_view key)> read_fault;
    // When set, decides for every write that lands how many reads still show the old value
    // (instead of the fixed counts given to lag()).
    std::function<int(std::string_view key, double value)> lag_rule;

    FanResult<SmcValue> read(std::string_view key) {
        Call& call = calls.emplace_back();
        call.key = std::string(key);
        if (unreadable.contains(key)) return fan_error(std::string(key) + " 접근 실패 (0xe00002bc)");
        const auto found = keys.find(key);
        if (found == keys.end()) return fan_error(std::string(key) + " SMC 응답 오류 (0x84)");
        if (read_fault) {
            if (auto failure = read_fault(key)) return fan_error(std::move(*failure));
        }
        SmcValue value = found->second;
        if (const auto stale = pending_stale.find(key); stale != pending_stale.end()) {
            value = stale->second.value;
            if (--stale->second.reads == 0) pending_stale.erase(stale);
        }
        call.ok = true;
        call.read_value = value.number();
        return value;
    }

    FanResult<void> write(std::string_view key, double value) {
        Call& call = calls.emplace_back();
        call.write = true;
        call.key = std::string(key);
        call.value = value;
        const std::size_t index = calls.size() - 1;
        const auto found = keys.find(key);
        if (found == keys.end()) return fan_error(std::string(key) + " SMC 응답 오류 (0x84)");
        auto encoded =
            encode_smc_value(found->second.type, static_cast<std::uint32_t>(found->second.bytes.size()), value);
        if (!encoded) return std::unexpected(encoded.error());

        std::optional<WriteFault> fault;
        if (const auto refusal = refusals.find(key); refusal != refusals.end()) {
            fault = WriteFault{refusal->second.message, false};
            if (refusal->second.times > 0 && --refusal->second.times == 0) refusals.erase(refusal);
        } else if (write_fault) {
            fault = write_fault(key, value);
        }
        if (!fault || fault->applied) store(found->first, found->second, std::move(*encoded), value);
        if (fault) return fan_error(fault->message);
        calls[index].ok = true;
        return {};
    }

    // --- Scripting ---

    // The next `times` writes to the key fail with the text and change nothing (0: every write).
    void refuse(std::string_view key, std::string message, int times = 0) {
        refusals.insert_or_assign(std::string(key), Refusal{std::move(message), times});
    }
    void stop_refusing(std::string_view key) { refusals.erase(std::string(key)); }

    // After every write that lands, the key reads what it showed before the write `reads` more times.
    void lag(std::string_view key, int reads) { lag_reads.insert_or_assign(std::string(key), reads); }

    // Reads of the key fail while the key itself stays (writes still reach it).
    void make_unreadable(std::string_view key) { unreadable.insert(std::string(key)); }

    void set(std::string_view key, std::string type, std::vector<std::uint8_t> bytes) {
        keys.insert_or_assign(std::string(key), SmcValue{std::move(type), std::move(bytes)});
        pending_stale.erase(std::string(key));
    }
    void set_flt(std::string_view key, double value) {
        const auto raw = std::bit_cast<std::uint32_t>(static_cast<float>(value));
        set(key, "flt ",
            {static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw >> 16),
             static_cast<std::uint8_t>(raw >> 24)});
    }
    void set_fpe2(std::string_view key, double value) {
        const auto raw = static_cast<std::uint16_t>(std::lround(value * 4));
        set(key, "fpe2", {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)});
    }
    void set_sp78(std::string_view key, double value) {
        const auto raw = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(value * 256)));
        set(key, "sp78", {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)});
    }
    void set_ui8(std::string_view key, std::uint8_t value) { set(key, "ui8 ", {value}); }
    void erase(std::string_view key) {
        keys.erase(std::string(key));
        pending_stale.erase(std::string(key));
    }

    // --- Inspection (not recorded) ---

    // The number the key holds now, lag ignored.
    std::optional<double> stored(std::string_view key) const {
        const auto found = keys.find(key);
        if (found == keys.end()) return std::nullopt;
        return found->second.number();
    }
    std::size_t read_count() const { return count(false); }
    std::size_t write_count() const { return count(true); }
    // Every value a write to the key attempted, in order, whatever its outcome.
    std::vector<double> writes_to(std::string_view key) const {
        std::vector<double> values;
        for (const Call& call : calls) {
            if (call.write && call.key == key) values.push_back(call.value);
        }
        return values;
    }
    std::size_t reads_of(std::string_view key) const {
        std::size_t n = 0;
        for (const Call& call : calls) n += !call.write && call.key == key ? 1 : 0;
        return n;
    }

    // --- Machines ---

    // Float fan keys, lower-case mode keys, "Ftst", float sensors. Fan i runs 1200-5000
    // (fan 0) or 1000-6000 (others), in automatic mode, at 45 and 52.5 degrees.
    static FakeHardware apple_silicon(int fan_count) {
        FakeHardware smc;
        smc.set_ui8("FNum", static_cast<std::uint8_t>(fan_count));
        for (int id = 0; id < fan_count; ++id) {
            smc.set_flt(key_of(id, "Ac"), 1500);
            smc.set_flt(key_of(id, "Mn"), id == 0 ? 1200 : 1000);
            smc.set_flt(key_of(id, "Mx"), id == 0 ? 5000 : 6000);
            smc.set_flt(key_of(id, "Tg"), 1500);
            smc.set_ui8(key_of(id, "md"), 0);
        }
        smc.set_ui8("Ftst", 0);
        smc.set_flt("Tp01", 45);
        smc.set_flt("Te05", 52.5);
        return smc;
    }

    // Fixed-point fan keys, upper-case mode keys, no "Ftst", one signed fixed-point sensor.
    static FakeHardware intel_like(int fan_count) {
        FakeHardware smc;
        smc.set_ui8("FNum", static_cast<std::uint8_t>(fan_count));
        for (int id = 0; id < fan_count; ++id) {
            smc.set_fpe2(key_of(id, "Ac"), 2000);
            smc.set_fpe2(key_of(id, "Mn"), id == 0 ? 1200 : 1000);
            smc.set_fpe2(key_of(id, "Mx"), id == 0 ? 5000 : 6000);
            smc.set_fpe2(key_of(id, "Tg"), 2000);
            smc.set_ui8(key_of(id, "Md"), 0);
        }
        smc.set_sp78("TC0P", 50.5);
        return smc;
    }

private:
    static std::string key_of(int id, const char* suffix) { return "F" + std::to_string(id) + suffix; }

    struct Refusal {
        std::string message;
        int times = 0;
    };
    struct Stale {
        SmcValue value;
        int reads = 0;
    };

    std::map<std::string, Refusal, std::less<>> refusals;
    std::map<std::string, int, std::less<>> lag_reads;
    std::map<std::string, Stale, std::less<>> pending_stale;
    std::set<std::string, std::less<>> unreadable;

    void store(const std::string& key, SmcValue& slot, std::vector<std::uint8_t> bytes, double value) {
        int stale_reads = 0;
        if (lag_rule) {
            stale_reads = lag_rule(key, value);
        } else if (const auto lag = lag_reads.find(key); lag != lag_reads.end()) {
            stale_reads = lag->second;
        }
        // The newest write decides what a lagging key shows: an older lag ends here.
        if (stale_reads > 0) {
            // The key goes on showing what it showed before the write.
            const auto shown = pending_stale.find(key);
            SmcValue before = shown != pending_stale.end() ? shown->second.value : slot;
            pending_stale.insert_or_assign(key, Stale{std::move(before), stale_reads});
        } else {
            pending_stale.erase(key);
        }
        slot.bytes = std::move(bytes);
    }

    std::size_t count(bool writes) const {
        std::size_t n = 0;
        for (const Call& call : calls) n += call.write == writes ? 1 : 0;
        return n;
    }
};
