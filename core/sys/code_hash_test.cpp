#include "sys/code_hash.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

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

TEST(CodeHash, FirstTwentyBytesOfSha256InLowerCaseHex) {
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

TEST(CodeHash, UnreadableFileHasNoHash) {
    EXPECT_FALSE(code_hash_of_file("/nonexistent/program").has_value());
    EXPECT_FALSE(code_hash_of_file("/tmp").has_value());
}

}  // namespace
