#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// The guardian's records are flat JSON objects. Writing is done by hand so that numbers come out
// in their shortest round-trip form; reading is strict about types and lenient about unknown keys.

class JsonObjectWriter {
public:
    void addBool(std::string_view key, bool value);
    void addInteger(std::string_view key, std::int64_t value);
    // Throws GuardianError for a value JSON cannot hold (infinite or not a number).
    void addNumber(std::string_view key, double value);
    // Throws GuardianError for text that is not valid UTF-8.
    void addString(std::string_view key, const std::string& value);

    std::string finish() const { return text_ + "}"; }

private:
    void addKey(std::string_view key);
    std::string text_ = "{";
};

// Raised by the reader when the text is not a record of the expected shape.
struct JsonRecordMismatch {};

class JsonRecordReader {
public:
    // Throws JsonRecordMismatch unless the text is exactly one JSON object without repeated keys.
    explicit JsonRecordReader(std::string_view text);

    // Required accessors throw JsonRecordMismatch when the key is absent or of the wrong type;
    // optional ones take an absent key and null alike as no value.
    std::int64_t requiredInteger(const char* key) const;
    double requiredNumber(const char* key) const;
    bool requiredBool(const char* key) const;
    std::optional<std::int64_t> optionalInteger(const char* key) const;
    std::optional<double> optionalNumber(const char* key) const;
    std::optional<bool> optionalBool(const char* key) const;
    std::optional<std::string> optionalString(const char* key) const;
    std::string requiredString(const char* key) const;

private:
    const nlohmann::json* find(const char* key) const;
    nlohmann::json object_;
};

// The record `read` makes of a reader over the text, or none when the text is not an object of
// the shape `read` expects (any accessor of it that fails ends the decoding).
template <typename Read>
auto decodeRecord(std::string_view text, Read read) -> decltype(read(std::declval<const JsonRecordReader&>())) {
    try {
        const JsonRecordReader in(text);
        return read(in);
    } catch (const JsonRecordMismatch&) {
        return std::nullopt;
    }
}
