#include "virtual_smc_physics.hpp"

#include <algorithm>
#include <cmath>

#include "smc/smc_record.hpp"
#include "virtual_smc_types.hpp"

namespace vsmc {

namespace {

constexpr double kFanTimeConstant = 1.0;    // seconds for a fan to cover 63 % of a speed change
constexpr double kDieTimeConstant = 4.0;    // seconds for the die to follow load and airflow
constexpr double kIdleDie = 32.0;           // °C at no load and no airflow
constexpr double kHeatPerLoad = 0.6;        // °C per percent of load
constexpr double kCoolingAtFullAir = 22.0;  // °C taken away with every fan at its maximum
constexpr double kCurveStart = 50.0;        // automatic mode: minimum speed up to here
constexpr double kCurveEnd = 90.0;          // ... maximum speed from here
constexpr double kLongestStep = 0.05;
constexpr double kLongestCatchUp = 120.0;  // beyond this the machine has settled anyway

}  // namespace

Machine::Machine(Profile profile, int fans, Options options, double now)
    : profile_(std::move(profile)), options_(options), clock_(now) {
    die_ = kIdleDie + kHeatPerLoad * options_.load;
    keys_ = build_keys(profile_, fans, die_);
    fans_.resize(static_cast<std::size_t>(fans));
    for (int fan = 0; fan < fans; ++fan) {
        fans_[static_cast<std::size_t>(fan)].actual = number(fan_key(fan, "Mn")).value_or(0);
        fans_[static_cast<std::size_t>(fan)].stuck = options_.stuck;
    }
    // Start near equilibrium so that the first readings are already plausible.
    step(30.0);
}

std::optional<double> Machine::number(const std::string& key) const {
    const auto it = keys_.find(key);
    if (it == keys_.end()) return std::nullopt;
    return decode_number(it->second.type, it->second.bytes);
}

std::optional<double> Machine::mode(int fan) const { return number(mode_key(profile_, fan)); }

std::optional<int> Machine::fan_of_mode_key(std::string_view key) const {
    for (int fan = 0; fan < static_cast<int>(fans_.size()); ++fan) {
        if (key == mode_key(profile_, fan)) return fan;
    }
    return std::nullopt;
}

bool Machine::driven(std::string_view key) const {
    for (int fan = 0; fan < static_cast<int>(fans_.size()); ++fan) {
        if (key == fan_key(fan, "Ac") || key == fan_key(fan, "Tg")) return true;
    }
    return std::ranges::any_of(profile_.sensors, [&](const Sensor& s) { return s.key == key; });
}

void Machine::store(const std::string& key, std::vector<std::uint8_t> bytes, double now) {
    auto& entry = keys_[key];
    if (key == "Ftst") {
        const bool was_one = decode_number(entry.type, entry.bytes) == 1.0;
        const bool is_one = decode_number(entry.type, bytes) == 1.0;
        if (!is_one)
            ftst_since_.reset();
        else if (!was_one || !ftst_since_)
            ftst_since_ = now;
    }
    entry.bytes = std::move(bytes);
}

void Machine::drive(const std::string& key, double value) {
    const auto it = keys_.find(key);
    if (it == keys_.end() || it->second.pinned) return;
    if (auto bytes = encode_number(it->second.type, value); bytes && bytes->size() == it->second.bytes.size()) {
        it->second.bytes = std::move(*bytes);
    }
}

double Machine::hottest_reading() const {
    double hottest = die_;
    bool any = false;
    for (const auto& sensor : profile_.sensors) {
        const auto value = number(sensor.key);
        if (!value || *value < 5 || *value > 125) continue;
        hottest = any ? std::max(hottest, *value) : *value;
        any = true;
    }
    return hottest;
}

bool Machine::unlocked(double now) const {
    if (!keys_.contains("Ftst")) return true;
    return ftst_since_ && now - *ftst_since_ >= options_.unlock_delay;
}

void Machine::advance(double now) {
    // Hand-backs first: a read at or after the due time must already see automatic mode.
    for (int fan = 0; fan < static_cast<int>(fans_.size()); ++fan) {
        auto& state = fans_[static_cast<std::size_t>(fan)];
        if (!state.release_at || now < *state.release_at) continue;
        state.release_at.reset();
        if (!state.stuck && keys_.contains(mode_key(profile_, fan))) {
            store(mode_key(profile_, fan), {state.release_to}, now);
        }
    }
    double elapsed = std::min(now - clock_, kLongestCatchUp);
    clock_ = std::max(clock_, now);
    while (elapsed > 0) {
        const double h = std::min(elapsed, kLongestStep);
        step(h);
        elapsed -= h;
    }
}

void Machine::step(double seconds) {
    const double hottest = hottest_reading();
    double airflow = 0;
    for (int fan = 0; fan < static_cast<int>(fans_.size()); ++fan) {
        auto& state = fans_[static_cast<std::size_t>(fan)];
        const double minimum = number(fan_key(fan, "Mn")).value_or(0);
        const double maximum = std::max(minimum, number(fan_key(fan, "Mx")).value_or(minimum));
        double target = 0;
        if (mode(fan) == 1.0) {
            target = std::clamp(number(fan_key(fan, "Tg")).value_or(state.actual), minimum, maximum);
        } else {
            const double share = std::clamp((hottest - kCurveStart) / (kCurveEnd - kCurveStart), 0.0, 1.0);
            target = minimum + (maximum - minimum) * share;
            drive(fan_key(fan, "Tg"), std::round(target));
        }
        state.actual += (target - state.actual) * (1 - std::exp(-seconds / kFanTimeConstant));
        drive(fan_key(fan, "Ac"), state.actual);
        if (maximum > 0) airflow += std::clamp(state.actual / maximum, 0.0, 1.0);
    }
    if (!fans_.empty()) airflow /= static_cast<double>(fans_.size());

    const double settled = kIdleDie + kHeatPerLoad * options_.load - kCoolingAtFullAir * airflow;
    die_ += (settled - die_) * (1 - std::exp(-seconds / kDieTimeConstant));
    for (const auto& sensor : profile_.sensors) drive(sensor.key, die_ + sensor.offset);
}

std::uint8_t Machine::write(std::string_view key, std::span<const std::uint8_t> bytes, double now) {
    const auto it = keys_.find(key);
    if (it == keys_.end()) return smc_record::kResultUnknownKey;
    if (!it->second.writable || bytes.size() != it->second.bytes.size()) return smc_record::kResultRefused;
    if (const auto fan = fan_of_mode_key(key); fan && bytes.size() == 1) return write_mode(*fan, bytes[0], now);
    store(it->first, {bytes.begin(), bytes.end()}, now);
    return smc_record::kResultOk;
}

std::uint8_t Machine::write_mode(int fan, std::uint8_t value, double now) {
    auto& state = fans_[static_cast<std::size_t>(fan)];
    const std::string key = mode_key(profile_, fan);
    // 1 forces the fan; 0 (automatic) and 3 (system) hand it back.
    if (value == 1) {
        if (!unlocked(now)) return smc_record::kResultRefused;
        state.release_at.reset();
        store(key, {1}, now);
        return smc_record::kResultOk;
    }
    if (value != 0 && value != 3) return smc_record::kResultRefused;
    if (mode(fan) != 1.0) {
        store(key, {value}, now);
        return smc_record::kResultOk;
    }
    if (state.stuck) return smc_record::kResultOk;
    if (options_.release_delay <= 0) {
        store(key, {value}, now);
    } else if (!state.release_at) {
        state.release_at = now + options_.release_delay;
        state.release_to = value;
    }
    return smc_record::kResultOk;
}

void Machine::set(std::string_view key, std::string type, std::vector<std::uint8_t> bytes, double now) {
    const std::string name(key);
    auto& entry = keys_[name];
    const bool created = entry.type.empty();
    if (created) entry.writable = true;
    entry.type = std::move(type);
    if (driven(name)) entry.pinned = true;
    if (const auto fan = fan_of_mode_key(name)) fans_[static_cast<std::size_t>(*fan)].release_at.reset();
    store(name, std::move(bytes), now);
}

bool Machine::remove(std::string_view key, double now) {
    const auto it = keys_.find(key);
    if (it == keys_.end()) return false;
    if (key == "Ftst") store("Ftst", {0}, now);
    keys_.erase(it);
    return true;
}

bool Machine::free(std::string_view key) {
    if (key == "all") {
        for (auto& [name, entry] : keys_) entry.pinned = false;
        return true;
    }
    const auto it = keys_.find(key);
    if (it == keys_.end()) return false;
    it->second.pinned = false;
    return true;
}

bool Machine::set_stuck(std::optional<int> fan, bool stuck) {
    if (fan && (*fan < 0 || *fan >= static_cast<int>(fans_.size()))) return false;
    if (!fan) options_.stuck = stuck;
    for (int i = 0; i < static_cast<int>(fans_.size()); ++i) {
        if (!fan || *fan == i) fans_[static_cast<std::size_t>(i)].stuck = stuck;
    }
    return true;
}

}  // namespace vsmc
