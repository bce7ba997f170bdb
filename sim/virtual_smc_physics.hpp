#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "virtual_smc_keys.hpp"

namespace vsmc {

// What a test or demo may tune, on the command line or at run time.
struct Options {
    double unlock_delay = 3.0;   // seconds "Ftst" must have read 1 before mode 1 is accepted
    double release_delay = 0.3;  // seconds a fan stays manual after mode 0 was written
    bool stuck = false;          // every fan's mode stays 1 once forced
    double load = 20;            // percent of full load, drives the temperatures
};

struct FanState {
    double actual = 0;                 // RPM as the rotor turns now
    std::optional<double> release_at;  // when a pending hand-back takes effect
    std::uint8_t release_to = 0;       // the mode value it hands back to
    bool stuck = false;                // mode stays 1, whatever is written
};

// The machine behind the keys: fans that spin toward their target, a die that heats with the
// load and cools with the airflow, and the rules of the manual switch. Time is passed in, so the
// same code runs against a real clock in the device and a made-up one in tests.
class Machine {
public:
    Machine(Profile profile, int fans, Options options, double now);

    const Profile& profile() const { return profile_; }
    const KeyTable& keys() const { return keys_; }
    const Options& options() const { return options_; }
    const std::vector<FanState>& fans() const { return fans_; }
    double die_temperature() const { return die_; }

    // Moves the machine forward to `now`: hand-backs that fell due, fan speeds, temperatures.
    void advance(double now);

    // A client's write, under the device's rules; answers the result byte.
    std::uint8_t write(std::string_view key, std::span<const std::uint8_t> bytes, double now);

    // Changes made by hand. Setting a key the physics drives pins it there until freed.
    void set(std::string_view key, std::string type, std::vector<std::uint8_t> bytes, double now);
    bool remove(std::string_view key, double now);
    bool free(std::string_view key);  // "all" frees every key
    void set_load(double percent) { options_.load = percent; }
    void set_unlock_delay(double seconds) { options_.unlock_delay = seconds; }
    void set_release_delay(double seconds) { options_.release_delay = seconds; }
    bool set_stuck(std::optional<int> fan, bool stuck);  // no fan = all fans

    // Manual switching is allowed: no "Ftst" key, or it has read 1 for the unlock delay.
    bool unlocked(double now) const;
    std::optional<double> ftst_since() const { return ftst_since_; }
    std::optional<double> mode(int fan) const;

private:
    std::uint8_t write_mode(int fan, std::uint8_t value, double now);
    void store(const std::string& key, std::vector<std::uint8_t> bytes, double now);
    void drive(const std::string& key, double value);
    std::optional<double> number(const std::string& key) const;
    std::optional<int> fan_of_mode_key(std::string_view key) const;
    bool driven(std::string_view key) const;
    double hottest_reading() const;
    void step(double seconds);

    Profile profile_;
    Options options_;
    KeyTable keys_;
    std::vector<FanState> fans_;
    double die_ = 0;
    double clock_ = 0;
    std::optional<double> ftst_since_;
};

}  // namespace vsmc
