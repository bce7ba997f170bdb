#include "Watcher/wake_helper_installation.hpp"

#include "Engine/guardian_context.hpp"
#include "Engine/json_record.hpp"
#include "Engine/state_store.hpp"
#include "Engine/wake_ipc_contract.hpp"
#include "Engine/wake_ipc_error.hpp"

#include <limits>

std::string encodeJSON(const WakeHelperInstallation& installation) {
    JsonObjectWriter out;
    out.addInteger("protocolVersion", installation.protocolVersion);
    out.addInteger("ownerUID", installation.ownerUID);
    out.addString("clientHash", installation.clientHash);
    out.addString("helperHash", installation.helperHash);
    return out.finish();
}

namespace {

WakeIPCError undecodable(const char* key) {
    return WakeIPCError(std::string("The installation record has no valid \"") + key + "\".");
}

std::int64_t integerField(const JsonRecordReader& in, const char* key) {
    try {
        return in.requiredInteger(key);
    } catch (const JsonRecordMismatch&) {
        throw undecodable(key);
    }
}

std::string stringField(const JsonRecordReader& in, const char* key) {
    try {
        return in.requiredString(key);
    } catch (const JsonRecordMismatch&) {
        throw undecodable(key);
    }
}

JsonRecordReader installationObject(std::string_view text) {
    try {
        return JsonRecordReader(text);
    } catch (const JsonRecordMismatch&) {
        throw WakeIPCError("The installation record is not a JSON object.");
    }
}

}  // namespace

WakeHelperInstallation decodeHelperInstallation(std::string_view text) {
    const JsonRecordReader in = installationObject(text);
    WakeHelperInstallation installation;
    installation.protocolVersion = integerField(in, "protocolVersion");
    const std::int64_t owner = integerField(in, "ownerUID");
    if (owner < 0 || owner > std::numeric_limits<std::uint32_t>::max()) throw undecodable("ownerUID");
    installation.ownerUID = static_cast<std::uint32_t>(owner);
    installation.clientHash = stringField(in, "clientHash");
    installation.helperHash = stringField(in, "helperHash");
    return installation;
}

WakeHelperInstallation WakeHelperInstallation::load() {
    const auto& context = guardianContext();

    const bool installed = WakeIPCContract::trustedFile(context.directory, true) &&
                           WakeIPCContract::trustedFile(context.installationPath) &&
                           WakeIPCContract::trustedFile(context.helperPath);
    if (!installed) throw WakeIPCError("도우미 설치가 필요합니다.");

    const auto installation = decodeHelperInstallation(readTrustedFile(context.installationPath));

    const bool valid = installation.protocolVersion == WakeIPCContract::version && installation.ownerUID != 0 &&
                       WakeIPCContract::validHash(installation.clientHash) &&
                       WakeIPCContract::validHash(installation.helperHash);
    if (!valid) throw WakeIPCError("도우미 설치 정보를 확인할 수 없습니다.");

    return installation;
}
