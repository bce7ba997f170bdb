#include "sys/executable_hash.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "sys/code_hash.hpp"
#include "sys/unique_fd.hpp"

namespace {

constexpr std::size_t kCodeHashBytes = 20;

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Hashes from the file's start; stops and answers nothing once `give_up` says so between blocks.
template <typename GiveUp>
std::optional<std::string> hash_from_start(int fd, GiveUp give_up) {
    const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }

    std::array<unsigned char, 65536> block{};
    for (off_t offset = 0;;) {
        if (give_up()) return std::nullopt;
        const ssize_t n = ::pread(fd, block.data(), block.size(), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        if (EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(n)) != 1) {
            return std::nullopt;
        }
        offset += n;
    }

    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length < kCodeHashBytes) {
        return std::nullopt;
    }

    return lower_hex(std::span(digest).first(kCodeHashBytes));
}

// What tells one version of a file from another without reading it. The change time cannot be
// set back by the file's owner, so a rewritten file never matches its earlier self.
struct FileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    std::int64_t modified_s, modified_ns, changed_s, changed_ns;

    bool operator==(const FileIdentity&) const = default;
};

FileIdentity identity_of(const struct stat& status) {
#ifdef __APPLE__
    const timespec modified = status.st_mtimespec;
    const timespec changed = status.st_ctimespec;
#else
    const timespec modified = status.st_mtim;
    const timespec changed = status.st_ctim;
#endif
    return FileIdentity{status.st_dev,    status.st_ino,  status.st_size, modified.tv_sec,
                        modified.tv_nsec, changed.tv_sec, changed.tv_nsec};
}

// A handful of programs ever connect (the front end, the guardian itself); the oldest entry
// makes room for a new one.
class HashCache {
public:
    std::optional<std::string> find(const FileIdentity& identity) {
        const std::lock_guard lock(mutex_);
        for (const auto& [known, hash] : entries_) {
            if (known == identity) return hash;
        }
        return std::nullopt;
    }

    void remember(const FileIdentity& identity, std::string hash) {
        const std::lock_guard lock(mutex_);
        if (entries_.size() == kCapacity) entries_.pop_front();
        entries_.emplace_back(identity, std::move(hash));
    }

private:
    static constexpr std::size_t kCapacity = 16;
    std::mutex mutex_;
    std::deque<std::pair<FileIdentity, std::string>> entries_;
};

// Never destroyed: a peer judgement abandoned at its deadline may still end, and use the cache,
// while the process is exiting.
HashCache& hash_cache() {
    static HashCache* const cache = new HashCache;
    return *cache;
}

}  // namespace

std::optional<std::string> code_hash_of_descriptor(int fd) {
    return hash_from_start(fd, [] { return false; });
}

std::optional<std::string> code_hash_of_file(const std::string& path) {
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return std::nullopt;
    return code_hash_of_descriptor(file.get());
}

std::optional<std::string> code_hash_of_executable(int fd, const CodeHashBudget& budget) {
    struct stat before {};
    if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode) || before.st_size < 0) {
        return std::nullopt;
    }
    const FileIdentity identity = identity_of(before);
    if (auto known = hash_cache().find(identity)) return known;
    if (static_cast<std::uint64_t>(before.st_size) > budget.max_bytes) return std::nullopt;

    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(budget.seconds));
    auto hash = hash_from_start(fd, [&] { return Clock::now() >= deadline; });
    if (!hash) return std::nullopt;

    // A file that changed while it was read has no single hash; nothing is remembered for it.
    struct stat after {};
    if (::fstat(fd, &after) != 0 || !(identity_of(after) == identity)) return std::nullopt;
    hash_cache().remember(identity, *hash);
    return hash;
}
