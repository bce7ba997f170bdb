#include "sys/code_hash.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CodeHash, RequirementNamesExactlyOneHash) {
    const std::string hash = "0123456789abcdef0123456789abcdef01234567";
    EXPECT_EQ(code_requirement(hash), "cdhash H\"" + hash + "\"");
    EXPECT_EQ(code_hash_in_requirement(code_requirement(hash)), hash);
    EXPECT_FALSE(code_hash_in_requirement("cdhash H\"" + hash + "\" or anchor apple").has_value());
    EXPECT_FALSE(code_hash_in_requirement("cdhash H\"" + hash.substr(1) + "\"").has_value());
    EXPECT_FALSE(code_hash_in_requirement("identifier \"" + hash + "\"").has_value());
}

}  // namespace
