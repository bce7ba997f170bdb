#include "Engine/wake_ipc_contract.hpp"
#include "Engine/guardian_test_support.hpp"
#include "Engine/path_trust.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Each case: the path, whether a directory is expected, whether it must pass.
struct TrustCase {
    std::string path;
    bool directory;
    bool trusted;
};

TEST(PathTrust, RuleOnRealFilesAndLinks) {
    TempDir dir;
    const auto make = [&](const std::string& name, mode_t mode) {
        writeText(dir / name, "x");
        ::chmod((dir / name).c_str(), mode);
        return dir / name;
    };
    const std::string sound = make("sound", 0644);
    const std::string privateFile = make("private", 0600);
    const std::string groupWritable = make("group-writable", 0664);
    const std::string otherWritable = make("other-writable", 0646);
    const std::string foreign = make("foreign", 0644);
    ASSERT_EQ(::chown(foreign.c_str(), 1000, 1000), 0);
    ASSERT_EQ(::symlink(sound.c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
    ::chmod((dir / "folder").c_str(), 0755);
    ASSERT_EQ(::symlink((dir / "folder").c_str(), (dir / "folder-link").c_str()), 0);

    const std::vector<TrustCase> cases{
        {sound, false, true},          {privateFile, false, true},
        {dir / "folder", true, true},  {dir / "missing", false, false},
        {dir / "link", false, false},  {dir / "folder-link", true, false},
        {groupWritable, false, false}, {otherWritable, false, false},
        {foreign, false, false},       {dir / "folder", false, false},
        {sound, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + (c.directory ? " as directory" : " as file"));
        EXPECT_EQ(WakeIPCContract::trustedFile(c.path, c.directory), c.trusted);
        if (c.trusted) {
            EXPECT_NO_THROW(trustedPath(c.path, c.directory));
        } else {
            try {
                trustedPath(c.path, c.directory);
                ADD_FAILURE() << "trusted";
            } catch (const GuardianError& error) {
                EXPECT_EQ(error.message, "Unsafe ownership or permissions: " + c.path);
            }
        }
    }
}

}  // namespace
