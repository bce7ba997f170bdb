#include "Engine/json_record.hpp"

#include "Engine/guardian_error.hpp"
#include "sys/json_in.hpp"
#include "sys/json_out.hpp"
#include "Engine/text.hpp"

#include <cmath>
#include <limits>

void JsonObjectWriter::addKey(std::string_view key) {
    if (text_.size() > 1) text_ += ',';
    append_json_string(text_, key);
    text_ += ':';
}

void JsonObjectWriter::addBool(std::string_view key, bool value) {
    addKey(key);
    text_ += value ? "true" : "false";
}

void JsonObjectWriter::addInteger(std::string_view key, std::int64_t value) {
    addKey(key);
    append_json_int(text_, value);
}

void JsonObjectWriter::addNumber(std::string_view key, double value) {
    if (!std::isfinite(value)) throw GuardianError("Cannot encode a number that is not finite.");
    addKey(key);
    append_json_double(text_, value);
}

void JsonObjectWriter::addString(std::string_view key, const std::string& value) {
    if (!isValidUtf8(value)) throw GuardianError("Cannot encode text that is not UTF-8.");
    addKey(key);
    append_json_string(text_, value);
}

JsonRecordReader::JsonRecordReader(std::string_view text) {
    auto parsed = parse_json_strictly(text);
    if (!parsed || !parsed->is_object()) throw JsonRecordMismatch{};
    object_ = std::move(*parsed);
}

const nlohmann::json* JsonRecordReader::find(const char* key) const {
    const auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) return nullptr;
    return &*it;
}

namespace {

std::int64_t asInteger(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw JsonRecordMismatch{};
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    throw JsonRecordMismatch{};
}

double asNumber(const nlohmann::json& value) {
    if (!value.is_number()) throw JsonRecordMismatch{};
    const double number = value.get<double>();
    if (!std::isfinite(number)) throw JsonRecordMismatch{};
    return number;
}

bool asBool(const nlohmann::json& value) {
    if (!value.is_boolean()) throw JsonRecordMismatch{};
    return value.get<bool>();
}

}  // namespace

std::int64_t JsonRecordReader::requiredInteger(const char* key) const {
    const auto* value = find(key);
    if (value == nullptr) throw JsonRecordMismatch{};
    return asInteger(*value);
}

double JsonRecordReader::requiredNumber(const char* key) const {
    const auto* value = find(key);
    if (value == nullptr) throw JsonRecordMismatch{};
    return asNumber(*value);
}

bool JsonRecordReader::requiredBool(const char* key) const {
    const auto* value = find(key);
    if (value == nullptr) throw JsonRecordMismatch{};
    return asBool(*value);
}

std::optional<std::int64_t> JsonRecordReader::optionalInteger(const char* key) const {
    const auto* value = find(key);
    if (value == nullptr) return std::nullopt;
    return asInteger(*value);
}

std::optional<double> JsonRecordReader::optionalNumber(const char* key) const {
    const auto* value = find(key);
    if (value == nullptr) return std::nullopt;
    return asNumber(*value);
}

std::optional<bool> JsonRecordReader::optionalBool(const char* key) const {
    const auto* value = find(key);
    if (value == nullptr) return std::nullopt;
    return asBool(*value);
}

std::optional<std::string> JsonRecordReader::optionalString(const char* key) const {
    const auto* value = find(key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_string()) throw JsonRecordMismatch{};
    return value->get<std::string>();
}

std::string JsonRecordReader::requiredString(const char* key) const {
    auto value = optionalString(key);
    if (!value) throw JsonRecordMismatch{};
    return std::move(*value);
}
