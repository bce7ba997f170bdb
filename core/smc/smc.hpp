#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "fan_error.hpp"
#include "smc/fan_hardware.hpp"
#include "smc/smc_port.hpp"
#include "smc/smc_value.hpp"

// The production `FanHardware`: one connection to the SMC user client. It never retries and
// never sleeps; every failure comes back as a `FanError` naming the key.
class Smc {
public:
    static FanResult<Smc> open();
    // Opens through the given port instead of the platform's.
    static FanResult<Smc> open(SmcPort port);

    ~Smc();
    Smc(Smc&& other) noexcept;
    Smc& operator=(Smc&& other) noexcept;
    Smc(const Smc&) = delete;
    Smc& operator=(const Smc&) = delete;

    FanResult<SmcValue> read(std::string_view key);
    FanResult<void> write(std::string_view key, double value);

private:
    struct KeyInfo {
        std::uint32_t size;
        std::string type;
    };

    Smc(SmcPort port, std::uint32_t connection_handle);

    FanResult<SmcRecord> call(std::string_view key, std::uint8_t command, std::uint32_t data_size,
                              std::span<const std::uint8_t> data);
    FanResult<KeyInfo> metadata(std::string_view key);
    void close();

    SmcPort port;
    std::uint32_t connection = 0;
    std::map<std::string, KeyInfo, std::less<>> key_info_cache;
};

static_assert(FanHardware<Smc>);
