#include "sys/executable_hash.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "sys/unique_fd.hpp"

namespace {

std::string temp_file_with(const std::string& bytes) {
    char pattern[] = "/tmp/code-hash-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd >= 0) ::close(fd);
    std::ofstream(pattern, std::ios::binary) << bytes;
    return pattern;
}

std::string sha256sum_prefix(const std::string& path) {
    const std::string command = "sha256sum '" + path + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    char text[41] = {};
    const std::size_t got = std::fread(text, 1, 40, pipe);
    ::pclose(pipe);
    return std::string(text, got);
}

TEST(ExecutableHash, FirstTwentyBytesOfSha256InLowerCaseHex) {
    const std::string abc = temp_file_with("abc");
    EXPECT_EQ(code_hash_of_file(abc), "ba7816bf8f01cfea414140de5dae2223b00361a3");
    ::unlink(abc.c_str());

    // Larger than one read, with every byte value.
    std::string bytes;
    for (int i = 0; i < 200000; ++i) bytes += static_cast<char>(i * 7 % 256);
    const std::string large = temp_file_with(bytes);
    const std::string expected = sha256sum_prefix(large);
    ASSERT_EQ(expected.size(), 40u);
    EXPECT_EQ(code_hash_of_file(large), expected);
    ::unlink(large.c_str());
}

// A peer's executable is judged at most once per version of the file, and never at any cost.
TEST(ExecutableHash, ExecutableIsHashedOncePerVersionAndWithinItsBudget) {
    const std::string path = temp_file_with("version one");
    UniqueFd file(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(file);
    const auto first = code_hash_of_executable(file.get());
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first, code_hash_of_file(path));

    // No time at all to hash: only a version judged before can be answered.
    const CodeHashBudget no_time{.max_bytes = 1 << 20, .seconds = 0};
    EXPECT_EQ(code_hash_of_executable(file.get(), no_time), first);
    ASSERT_EQ(::pwrite(file.get(), "two", 3, 8), 3);
    EXPECT_FALSE(code_hash_of_executable(file.get(), no_time).has_value());
    EXPECT_EQ(code_hash_of_executable(file.get()), code_hash_of_file(path));

    // Larger than the budget allows: refused without reading, however sparse.
    ASSERT_EQ(::ftruncate(file.get(), off_t{1} << 36), 0);
    EXPECT_FALSE(code_hash_of_executable(file.get()).has_value());
    ::unlink(path.c_str());

    // Only a regular file has a code hash.
    const UniqueFd folder(::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_FALSE(code_hash_of_executable(folder.get()).has_value());
}

// The owner of a file can put its size and modification time back after rewriting it, but not
// its change time.
TEST(ExecutableHash, ARewriteWithItsOldModificationTimePutBackIsHashedAgain) {
    const std::string path = temp_file_with("version one");
    UniqueFd file(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(file);
    const auto first = code_hash_of_executable(file.get());
    ASSERT_TRUE(first.has_value());
    struct stat before {};
    ASSERT_EQ(::fstat(file.get(), &before), 0);

    ASSERT_EQ(::pwrite(file.get(), "two", 3, 8), 3);
    struct stat after {};
    // A coarse file clock may need a moment before the change time moves.
    do {
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::futimens(file.get(), times), 0);
        ASSERT_EQ(::fstat(file.get(), &after), 0);
    } while (after.st_ctim.tv_sec == before.st_ctim.tv_sec && after.st_ctim.tv_nsec == before.st_ctim.tv_nsec);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    const CodeHashBudget no_time{.max_bytes = 1 << 20, .seconds = 0};
    EXPECT_FALSE(code_hash_of_executable(file.get(), no_time).has_value());
    EXPECT_EQ(code_hash_of_executable(file.get()), code_hash_of_file(path));
    EXPECT_NE(code_hash_of_file(path), first);
    ::unlink(path.c_str());
}

TEST(ExecutableHash, AFileOverTheSizeBudgetIsRefusedWhateverTimeIsLeft) {
    const std::string path = temp_file_with(std::string(4096, 'x'));
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(file);
    EXPECT_FALSE(code_hash_of_executable(file.get(), {.max_bytes = 4095, .seconds = 3600}).has_value());
    EXPECT_EQ(code_hash_of_executable(file.get(), {.max_bytes = 4096, .seconds = 3600}), code_hash_of_file(path));
    ::unlink(path.c_str());
}

TEST(ExecutableHash, UnreadableFileHasNoHash) {
    EXPECT_FALSE(code_hash_of_file("/nonexistent/program").has_value());
    EXPECT_FALSE(code_hash_of_file("/tmp").has_value());
}

}  // namespace
