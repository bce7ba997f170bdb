#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Who may drive the guardian: written by registration, verified at every daemon start.
struct WakeHelperInstallation {
    std::int64_t protocolVersion = 0;  // the contract version at registration
    std::uint32_t ownerUID = 0;        // the only user whose processes may connect; never 0
    std::string clientHash;            // code hash of the front end that may connect
    std::string helperHash;            // code hash of the guardian that registered

    bool operator==(const WakeHelperInstallation&) const = default;

    // The registered installation: the data directory, the record and the installed guardian
    // must pass the trust rule ("도우미 설치가 필요합니다."), the record must decode (its
    // decoding or reading error passes unchanged) and hold the current version, a non-root owner
    // and two well-formed hashes ("도우미 설치 정보를 확인할 수 없습니다."). Throws WakeIPCError.
    static WakeHelperInstallation load();
};

// Compact JSON with the four keys.
std::string encodeJSON(const WakeHelperInstallation& installation);

// Any key order; unknown keys ignored; all four keys required, as JSON integers ("ownerUID"
// within 0...4294967295) and strings. Throws WakeIPCError naming what is wrong.
WakeHelperInstallation decodeHelperInstallation(std::string_view text);
