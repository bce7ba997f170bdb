#include "code_hash.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

#include "unique_fd.hpp"

namespace {

constexpr std::size_t kCodeHashBytes = 20;

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::optional<std::string> code_hash_of_descriptor(int fd) {
    const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }

    std::array<unsigned char, 65536> block{};
    for (;;) {
        const ssize_t n = ::read(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        if (EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(n)) != 1) {
            return std::nullopt;
        }
    }

    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length < kCodeHashBytes) {
        return std::nullopt;
    }

    static constexpr char kHex[] = "0123456789abcdef";
    std::string hash;
    hash.reserve(2 * kCodeHashBytes);
    for (std::size_t i = 0; i < kCodeHashBytes; ++i) {
        hash += kHex[digest[i] >> 4];
        hash += kHex[digest[i] & 0x0F];
    }
    return hash;
}

std::optional<std::string> code_hash_of_file(const std::string& path) {
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return std::nullopt;
    return code_hash_of_descriptor(file.get());
}

bool is_code_hash(std::string_view text) {
    if (text.size() != 2 * kCodeHashBytes) return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}
