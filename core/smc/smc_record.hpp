#pragma once

#include <cstddef>
#include <cstdint>

// Layout of the 80-byte parameter record exchanged with the SMC user client. Multi-byte
// fields are little-endian; a key travels packed with its first character in the top byte.
namespace smc_record {

inline constexpr std::size_t kSize = 80;
inline constexpr std::size_t kKey = 0;
inline constexpr std::size_t kDataSize = 28;
inline constexpr std::size_t kDataType = 32;
inline constexpr std::size_t kResult = 40;
inline constexpr std::size_t kCommand = 42;
inline constexpr std::size_t kBytes = 48;
inline constexpr std::size_t kBytesCapacity = 32;

inline constexpr std::uint8_t kReadKey = 5;
inline constexpr std::uint8_t kWriteKey = 6;
inline constexpr std::uint8_t kKeyInfo = 9;

// Structure-method selector of the user client.
inline constexpr std::uint32_t kSelector = 2;

// Result bytes the controller answers with.
inline constexpr std::uint8_t kResultOk = 0x00;
inline constexpr std::uint8_t kResultRefused = 0x82;
inline constexpr std::uint8_t kResultUnknownKey = 0x84;

// The Linux stand-in reaches a virtual device over a local stream socket. Its answer is one
// record too; the reserved field at this offset then carries the return code of the call
// itself (as the kernel would return it), so the device can simulate failed calls. The
// record's own user never reads that field.
inline constexpr std::size_t kTransportReturn = 4;

inline constexpr char kVirtualDevicePath[] = "/var/run/virtual-smc.sock";

constexpr std::uint32_t pack_key(const char key[4]) {
    return std::uint32_t{static_cast<unsigned char>(key[0])} << 24 |
           std::uint32_t{static_cast<unsigned char>(key[1])} << 16 |
           std::uint32_t{static_cast<unsigned char>(key[2])} << 8 | std::uint32_t{static_cast<unsigned char>(key[3])};
}

}  // namespace smc_record
