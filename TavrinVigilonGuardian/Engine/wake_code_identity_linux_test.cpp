#include "Engine/wake_code_identity.hpp"
#include "Engine/wake_code_identity_linux.hpp"
#include "Engine/wake_ipc_error.hpp"
#include "Engine/guardian_test_support.hpp"
#include "sys/executable_hash.hpp"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string hashFailure(const std::string& executable) {
    try {
        WakeCodeIdentity::codeHashOfProtectedProgram(executable);
    } catch (const WakeIPCError& error) {
        return error.message;
    }
    return "";
}

TEST(WakeCodeIdentity, ProtectedProgramHashesAsItsFile) {
    TempDir dir;
    const std::string program = dir / "guardian";
    writeText(program, "a program\n");
    ::chmod(program.c_str(), 0755);
    ASSERT_EQ(::getuid(), 0u) << "the guardian's tests run as root";
    // The first 40 digits `sha256sum` prints for the file.
    EXPECT_EQ(WakeCodeIdentity::codeHashOfProtectedProgram(program), "8c304c3a2ac9924f351532af4cc90c1b6198e9cc");
    EXPECT_EQ(WakeCodeIdentity::currentHash(), code_hash_of_file("/proc/self/exe"));
}

TEST(WakeCodeIdentity, UnprotectedProgramCountsAsUnsigned) {
    TempDir dir;
    const std::string program = dir / "guardian";
    writeText(program, "a program\n");
    const std::string unsignedProgram = "보호된 코드 서명이 필요합니다.";

    ::chmod(program.c_str(), 0775);
    EXPECT_EQ(hashFailure(program), unsignedProgram);
    ::chmod(program.c_str(), 0757);
    EXPECT_EQ(hashFailure(program), unsignedProgram);
    ::chmod(program.c_str(), 0755);
    ASSERT_EQ(::chown(program.c_str(), 501, 0), 0);
    EXPECT_EQ(hashFailure(program), unsignedProgram);
    EXPECT_EQ(hashFailure(dir.path()), unsignedProgram) << "not a regular file";

    EXPECT_EQ(hashFailure(dir / "missing"), "실행 중인 앱의 서명을 확인할 수 없습니다.");
}

}  // namespace
