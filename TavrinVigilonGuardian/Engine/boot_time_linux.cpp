#include "Engine/guardian_error.hpp"
#include "Engine/platform_readings.hpp"
#include "Engine/platform_readings_linux.hpp"

#include <cctype>
#include <fstream>
#include <string>

// The kernel draws a random 128-bit identity at every boot. The wall-clock boot time would move
// whenever the clock is stepped, so the first 64 bits of that identity stand in for it, with
// the sign bit cleared to keep the value positive.
std::int64_t bootTimeFrom(const std::filesystem::path& procRoot) {
    std::ifstream file(procRoot / "sys/kernel/random/boot_id");
    std::string text;
    if (!file || !std::getline(file, text)) throw GuardianError("Cannot read boot identity.");

    std::string hex;
    for (const char c : text) {
        if (c == '-') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) throw GuardianError("Cannot read boot identity.");
        hex += c;
    }
    if (hex.size() != 32) throw GuardianError("Cannot read boot identity.");

    const std::uint64_t high = std::stoull(hex.substr(0, 16), nullptr, 16);
    const auto identity = static_cast<std::int64_t>(high & 0x7FFF'FFFF'FFFF'FFFFull);
    if (identity <= 0) throw GuardianError("Cannot read boot identity.");
    return identity;
}

std::int64_t bootTime() { return bootTimeFrom("/proc"); }
