#include "sys/code_hash.hpp"

namespace {

constexpr std::size_t kCodeHashBytes = 20;
constexpr std::string_view kRequirementPrefix = "cdhash H\"";

}  // namespace

std::string lower_hex(std::span<const unsigned char> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (const unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

bool is_code_hash(std::string_view text) {
    if (text.size() != 2 * kCodeHashBytes) return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::string code_requirement(std::string_view hash) {
    std::string text(kRequirementPrefix);
    text += hash;
    text += '"';
    return text;
}

std::optional<std::string> code_hash_in_requirement(std::string_view requirement) {
    if (requirement.size() != kRequirementPrefix.size() + 2 * kCodeHashBytes + 1) return std::nullopt;
    if (!requirement.starts_with(kRequirementPrefix) || !requirement.ends_with('"')) {
        return std::nullopt;
    }
    std::string hash;
    for (const char c : requirement.substr(kRequirementPrefix.size(), 2 * kCodeHashBytes)) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) {
            hash += c;
        } else if (c >= 'A' && c <= 'F') {
            hash += static_cast<char>(c - 'A' + 'a');
        } else {
            return std::nullopt;
        }
    }
    return hash;
}
