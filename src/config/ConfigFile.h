#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varn {

// The server's settings: each key of the configuration file with its list of text values. Loaded
// once at start-up, read by key at the moment a setting is used, never written back.
class ConfigFile {
public:
    static ConfigFile& instance();

    // Reads the file; true when it could be opened, whatever it holds.
    bool load(const std::string& path);
    // Parses configuration text as load does with a file's content (line ends already LF).
    void loadText(std::string_view text);
    void clear();

    // The value at index, or nullptr when the key is missing or has no value there.
    const std::string* getString(std::string_view key, std::uint32_t index = 0) const;
    // The value at index read as a decimal integer; -1 when getString gives none.
    std::int32_t getInt(std::string_view key, std::uint32_t index = 0) const;
    bool has(std::string_view key) const;
    std::int32_t valueCount(std::string_view key) const;
    // Replaces a value in memory only; false when the key is missing or has no value at index.
    bool setValue(std::string_view key, std::string_view text, std::uint32_t index = 0);
    // Sets a key's values, replacing any it had (as a line of the file would).
    void setValues(std::string_view key, std::vector<std::string> values);

    // "on/off" keys are on only when they read as the integer 1.
    bool isOn(std::string_view key) const { return getInt(key) == 1; }

    // Where each key was read: in the order of the lines, a key given twice once for each line.
    struct KeyLine {
        std::string key;
        std::uint32_t line = 0;
    };
    const std::vector<KeyLine>& keyLines() const { return keyLines_; }
    // The path load was last given; null before the first load.
    const std::string* loadedPath() const { return loadedPath_ ? &*loadedPath_ : nullptr; }
    // Lines whose reading wrote an error (an unmatched quotation) since the store was last cleared.
    std::uint32_t lineErrorCount() const { return lineErrorCount_; }

    std::uint32_t lineNumber = 0;

private:
    void parseLine(std::string_view line);

    std::map<std::string, std::vector<std::string>, std::less<>> entries_;
    std::vector<KeyLine> keyLines_;
    std::optional<std::string> loadedPath_;
    std::uint32_t lineErrorCount_ = 0;
};

// Reads a text as the configuration's integers are read: leading white space, an optional sign,
// decimal digits; 0 without digits; wraps in 32 bits.
std::int32_t configTextToInt(std::string_view text);

// Checks the settings the server cannot start without; writes the first broken rule's message.
bool validateConfiguration();
bool validateConfiguration(const ConfigFile& config);
// For the numbers validateConfiguration checks (ServerPort, MaxPlayers, Game, GameMode): whether the
// start-up takes this value; none for any other key. The configuration check words its warnings by it.
std::optional<bool> startUpTakesNumber(std::string_view key, std::int32_t value);

}  // namespace varn
