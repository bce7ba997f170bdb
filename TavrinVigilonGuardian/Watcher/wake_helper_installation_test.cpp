#include "Watcher/wake_helper_installation.hpp"
#include "Engine/wake_ipc_error.hpp"
#include "Watcher/watcher_test_support.hpp"

namespace {

const std::string clientHash = "0123456789abcdef0123456789abcdef01234567";
const std::string helperHash = std::string(40, 'c');

class InstallationTest : public WatcherFixture {
protected:
    void writeRecord(const std::string& text) {
        writeText(context().installationPath, text);
        ::chmod(context().installationPath.c_str(), 0644);
    }

    std::string loadFailure() {
        try {
            WakeHelperInstallation::load();
        } catch (const WakeIPCError& error) {
            return error.message;
        } catch (const std::exception& error) {
            return std::string("other error: ") + error.what();
        }
        return "";
    }

    static std::string recordText(const std::string& version, const std::string& owner, const std::string& client,
                                  const std::string& helper) {
        return "{\"protocolVersion\":" + version + ",\"ownerUID\":" + owner + ",\"clientHash\":\"" + client +
               "\",\"helperHash\":\"" + helper + "\"}";
    }
};

TEST(WakeHelperInstallation, EncodesCompactlyAndReadsBack) {
    const WakeHelperInstallation installation{3, 4294967295u, clientHash, helperHash};
    const std::string text = encodeJSON(installation);
    EXPECT_EQ(text, "{\"protocolVersion\":3,\"ownerUID\":4294967295,\"clientHash\":\"" + clientHash +
                        "\",\"helperHash\":\"" + helperHash + "\"}");
    EXPECT_EQ(decodeHelperInstallation(text), installation);
}

TEST(WakeHelperInstallation, DecodingNeedsEveryKeyWithItsType) {
    const auto decodeFailure = [](const std::string& text) -> std::string {
        try {
            decodeHelperInstallation(text);
        } catch (const WakeIPCError& error) {
            return error.message;
        }
        return "";
    };
    const std::string hashes = ",\"clientHash\":\"" + clientHash + "\",\"helperHash\":\"" + helperHash + "\"}";
    EXPECT_EQ(decodeFailure("{\"protocolVersion\":3,\"ownerUID\":501,\"clientHash\":\"" + clientHash + "\"}"),
              "The installation record has no valid \"helperHash\".");
    EXPECT_EQ(decodeFailure("{\"protocolVersion\":3,\"ownerUID\":4294967296" + hashes),
              "The installation record has no valid \"ownerUID\".");
    EXPECT_EQ(decodeFailure("{\"protocolVersion\":3,\"ownerUID\":-1" + hashes),
              "The installation record has no valid \"ownerUID\".");
    EXPECT_EQ(decodeFailure("{\"protocolVersion\":\"3\",\"ownerUID\":501" + hashes),
              "The installation record has no valid \"protocolVersion\".");
    EXPECT_EQ(decodeFailure("{\"protocolVersion\":3,\"ownerUID\":501,\"clientHash\":7,\"helperHash\":\"x\"}"),
              "The installation record has no valid \"clientHash\".");
    EXPECT_EQ(decodeFailure("[3]"), "The installation record is not a JSON object.");
    EXPECT_EQ(decodeFailure("{\"protocolVersion\":3,\"protocolVersion\":3,\"ownerUID\":501" + hashes),
              "The installation record is not a JSON object.");

    // Any key order, unknown keys ignored, the largest owner id.
    const auto decoded =
        decodeHelperInstallation("{\"helperHash\":\"" + helperHash + "\",\"extra\":[1,{}],\"clientHash\":\"" +
                                 clientHash + "\",\"ownerUID\":4294967295,\"protocolVersion\":3}");
    EXPECT_EQ(decoded.ownerUID, 4294967295u);
    EXPECT_EQ(decoded.helperHash, helperHash);
}

TEST_F(InstallationTest, LoadsARegisteredInstallation) {
    writeRecord(encodeJSON(WakeHelperInstallation{3, 501, clientHash, helperHash}));
    EXPECT_EQ(loadFailure(), "");
    EXPECT_EQ(WakeHelperInstallation::load(), (WakeHelperInstallation{3, 501, clientHash, helperHash}));
}

TEST_F(InstallationTest, InvalidContentIsRefused) {
    const std::string invalid = "도우미 설치 정보를 확인할 수 없습니다.";
    std::string upper = clientHash;
    for (auto& c : upper) c = static_cast<char>(std::toupper(c));
    for (const auto& text :
         {recordText("2", "501", clientHash, helperHash), recordText("3", "0", clientHash, helperHash),
          recordText("3", "501", upper, helperHash), recordText("3", "501", clientHash, "c"),
          recordText("3", "501", clientHash, helperHash + "0")}) {
        SCOPED_TRACE(text);
        writeRecord(text);
        EXPECT_EQ(loadFailure(), invalid);
    }
    // A missing key is the decoder's error, not the content message.
    writeRecord("{\"protocolVersion\":3,\"ownerUID\":501,\"clientHash\":\"" + clientHash + "\"}");
    EXPECT_EQ(loadFailure(), "The installation record has no valid \"helperHash\".");
}

TEST_F(InstallationTest, UntrustedFilesMeanNoInstallation) {
    const std::string missing = "도우미 설치가 필요합니다.";
    EXPECT_EQ(loadFailure(), missing) << "no record at all";

    writeRecord(encodeJSON(WakeHelperInstallation{3, 501, clientHash, helperHash}));
    ::chmod(context().installationPath.c_str(), 0664);
    EXPECT_EQ(loadFailure(), missing);
    ::chmod(context().installationPath.c_str(), 0644);
    ASSERT_EQ(::chown(context().installationPath.c_str(), 501, 0), 0);
    EXPECT_EQ(loadFailure(), missing);
    ASSERT_EQ(::chown(context().installationPath.c_str(), 0, 0), 0);
    EXPECT_EQ(loadFailure(), "");

    const std::string real = dir / "real.json";
    ::rename(context().installationPath.c_str(), real.c_str());
    ::symlink(real.c_str(), context().installationPath.c_str());
    EXPECT_EQ(loadFailure(), missing);
    ::unlink(context().installationPath.c_str());
    ::rename(real.c_str(), context().installationPath.c_str());

    ::chmod(context().helperPath.c_str(), 0775);
    EXPECT_EQ(loadFailure(), missing) << "a group-writable guardian program";
    ::chmod(context().helperPath.c_str(), 0755);

    ::chmod(dir.path().c_str(), 0770);
    EXPECT_EQ(loadFailure(), missing) << "a group-writable data directory";
    ::chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(loadFailure(), "");
}

TEST(InstallationPaths, ProductionPathsAreTheFixedOnes) {
    const GuardianContext production;
    EXPECT_EQ(production.installationPath, "/Library/Application Support/TavrinVigilon/installation.json");
    EXPECT_EQ(production.helperPath, "/Library/PrivilegedHelperTools/app.tavrin.vigilon.guardian");
    EXPECT_EQ(production.daemonPath, "/Library/LaunchDaemons/app.tavrin.vigilon.guardian.plist");
}

}  // namespace
