#include "scripting/ScriptStore.h"

#include <charconv>
#include <cstdio>
#include <filesystem>

#include "platform/Files.h"

namespace varn {

// The saved form: a header line, then for each entry one line "<type> <key bytes> <value bytes>"
// followed by the key's bytes, a line end, the value's bytes and a line end. Types: s text, n number,
// i integer, b yes/no. Lengths make any byte safe in keys and texts; the line end between key and
// value keeps them apart for a reader too. The first form ("varn-store 1") had no line end between
// them; it is still read.
namespace {

constexpr std::string_view kHeader = "varn-store 2\n";
constexpr std::string_view kFirstHeader = "varn-store 1\n";

std::string valueBytes(const ScriptStore::Value& value, char& type) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        type = 's';
        return *text;
    }
    if (const auto* number = std::get_if<double>(&value)) {
        type = 'n';
        char digits[32];
        const int length = std::snprintf(digits, sizeof digits, "%.17g", *number);
        return std::string(digits, static_cast<std::size_t>(length));
    }
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        type = 'i';
        return std::to_string(*integer);
    }
    type = 'b';
    return std::get<bool>(value) ? "1" : "0";
}

bool readNumber(std::string_view& bytes, std::size_t& number, char end) {
    const auto result = std::from_chars(bytes.data(), bytes.data() + bytes.size(), number);
    if (result.ec != std::errc() || result.ptr == bytes.data() + bytes.size() || *result.ptr != end) return false;
    bytes.remove_prefix(static_cast<std::size_t>(result.ptr - bytes.data()) + 1);
    return true;
}

// False, with out untouched, when the bytes are no value of the type.
bool decodeValue(char type, std::string_view bytes, ScriptStore::Value& out) {
    switch (type) {
    case 's':
        out = std::string(bytes);
        return true;
    case 'n': {
        // strtod needs a terminated text; the value is short.
        const std::string text(bytes);
        char* end = nullptr;
        const double number = std::strtod(text.c_str(), &end);
        if (text.empty() || end != text.c_str() + text.size()) return false;
        out = number;
        return true;
    }
    case 'i': {
        std::int64_t integer = 0;
        const auto result = std::from_chars(bytes.data(), bytes.data() + bytes.size(), integer);
        if (result.ec != std::errc() || result.ptr != bytes.data() + bytes.size()) return false;
        out = integer;
        return true;
    }
    case 'b':
        if (bytes != "0" && bytes != "1") return false;
        out = bytes == "1";
        return true;
    default:
        return false;
    }
}

}  // namespace

std::size_t ScriptStore::entrySize(std::string_view key, const Value& value) {
    char type = 0;
    const std::string bytes = valueBytes(value, type);
    // "<type> <key length> <value length>\n<key>\n<value>\n"
    return 2 + std::to_string(key.size()).size() + 1 + std::to_string(bytes.size()).size() + 1 + key.size() + 1 +
           bytes.size() + 1;
}

std::string ScriptStore::encode(const std::map<std::string, Value, std::less<>>& entries) {
    std::string out(kHeader);
    for (const auto& [key, value] : entries) {
        char type = 0;
        const std::string bytes = valueBytes(value, type);
        out += type;
        out += ' ';
        out += std::to_string(key.size());
        out += ' ';
        out += std::to_string(bytes.size());
        out += '\n';
        out += key;
        out += '\n';
        out += bytes;
        out += '\n';
    }
    return out;
}

std::optional<std::map<std::string, ScriptStore::Value, std::less<>>> ScriptStore::decode(std::string_view bytes) {
    const bool first = bytes.starts_with(kFirstHeader);
    if (!first && !bytes.starts_with(kHeader)) return std::nullopt;
    bytes.remove_prefix(kHeader.size());
    // The line end between key and value (none in the first form).
    const std::size_t apart = first ? 0 : 1;
    std::map<std::string, Value, std::less<>> entries;
    while (!bytes.empty()) {
        if (bytes.size() < 2 || bytes[1] != ' ') return std::nullopt;
        const char type = bytes[0];
        bytes.remove_prefix(2);
        std::size_t keyLength = 0;
        std::size_t valueLength = 0;
        if (!readNumber(bytes, keyLength, ' ') || !readNumber(bytes, valueLength, '\n')) return std::nullopt;
        if (keyLength > bytes.size() || apart > bytes.size() - keyLength ||
            valueLength > bytes.size() - keyLength - apart || bytes.size() - keyLength - apart - valueLength < 1 ||
            (apart == 1 && bytes[keyLength] != '\n') || bytes[keyLength + apart + valueLength] != '\n') {
            return std::nullopt;
        }
        Value value;
        if (!decodeValue(type, bytes.substr(keyLength + apart, valueLength), value)) return std::nullopt;
        entries.insert_or_assign(std::string(bytes.substr(0, keyLength)), std::move(value));
        bytes.remove_prefix(keyLength + apart + valueLength + 1);
    }
    return entries;
}

bool ScriptStore::load() {
    entries_.clear();
    size_ = kHeader.size();
    changed_ = false;
    readable_ = false;
    std::error_code missing;
    if (!std::filesystem::exists(path_, missing)) {
        if (missing) return false;
        if (!takeOverOldFile()) {
            readable_ = true;
            return true;
        }
    }
    // Read as bytes: a text value may hold any byte, line ends too.
    platform::RegularFileReader reader(path_);
    if (!reader.isOpen()) return false;
    std::string content;
    char buffer[4096];
    for (;;) {
        const std::int64_t count = reader.read(buffer, sizeof buffer);
        if (count < 0) return false;
        if (count == 0) break;
        content.append(buffer, static_cast<std::size_t>(count));
        if (content.size() > kMaxBytes) return false;
    }
    std::optional<std::map<std::string, Value, std::less<>>> entries = decode(content);
    if (!entries) return false;
    entries_ = std::move(*entries);
    for (const auto& [key, value] : entries_) size_ += entrySize(key, value);
    readable_ = true;
    return true;
}

// A store under the old name is moved to the new one, once: false when there is none to take.
bool ScriptStore::takeOverOldFile() {
    std::error_code missing;
    if (oldPath_.empty() || !std::filesystem::exists(oldPath_, missing)) return false;
    if (files_.rename(oldPath_, path_)) return true;  // the new name cannot be read: not written either
    tookOver_ = true;
    return true;
}

bool ScriptStore::set(std::string_view key, const Value& value) {
    const auto found = entries_.find(key);
    const std::size_t old = found != entries_.end() ? entrySize(found->first, found->second) : 0;
    const std::size_t added = entrySize(key, value);
    if (size_ - old + added > kMaxBytes) return false;
    if (found != entries_.end() && found->second == value) return true;
    size_ = size_ - old + added;
    if (found != entries_.end()) {
        found->second = value;
    } else {
        entries_.emplace(std::string(key), value);
    }
    changed_ = true;
    return true;
}

void ScriptStore::remove(std::string_view key) {
    const auto found = entries_.find(key);
    if (found == entries_.end()) return;
    size_ -= entrySize(found->first, found->second);
    entries_.erase(found);
    changed_ = true;
}

const ScriptStore::Value* ScriptStore::find(std::string_view key) const {
    const auto found = entries_.find(key);
    return found != entries_.end() ? &found->second : nullptr;
}

std::error_code ScriptStore::saveIfChanged() {
    if (!changed_ || !readable_) return {};
    const platform::SavePlan plan = platform::planSaves(files_, path_);
    const std::error_code error = platform::saveFile(files_, plan, encode(entries_));
    if (!error) changed_ = false;
    return error;
}

}  // namespace varn
