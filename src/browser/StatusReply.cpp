#include "browser/StatusReply.h"

#include <charconv>

namespace varn {

namespace {

constexpr std::string_view kMagic = "EYE1";
constexpr std::uint8_t kEndOfRules = 0x01;
constexpr std::int32_t kIronHarborGame = 1;
constexpr std::int32_t kStuntGameMode = 2;

}  // namespace

void StatusReply::begin(std::string_view gameName, std::int32_t gamePort) {
    writer_.clear();
    writer_.text(kMagic);
    countedText(gameName);
    countedNumber(gamePort);
}

void StatusReply::addStatus(Text serverName, Text gameType, Text mapName, Text version, std::int32_t password,
                            std::int32_t players, std::int32_t maxPlayers) {
    if (!acceptsGroup()) return;
    countedText(serverName.value_or(""));
    countedText(gameType.value_or(""));
    countedText(mapName.value_or(""));
    countedText(version.value_or(""));
    countedNumber(password);
    countedNumber(players);
    countedNumber(maxPlayers);
}

void StatusReply::addRule(Text key, Text value) {
    if (!acceptsGroup()) return;
    countedText(key.value_or(""));
    countedText(value.value_or(""));
}

void StatusReply::endRules() {
    writer_.byte(kEndOfRules);
}

void StatusReply::addPlayer(const PlayerFields& fields) {
    if (!acceptsGroup()) return;
    std::uint8_t flags = 0;
    for (std::size_t field = 0; field < fields.size(); ++field) {
        if (fields[field]) flags = static_cast<std::uint8_t>(flags | (1u << field));
    }
    if (flags == 0) return;
    writer_.byte(flags);
    for (const Text& field : fields) {
        if (field) countedText(*field);
    }
}

void StatusReply::countedText(std::string_view text) {
    if (text.size() > kMaxTextLength) text = text.substr(0, kMaxTextLength);
    writer_.byte(static_cast<std::uint8_t>(text.size() + 1));
    writer_.text(text);
}

void StatusReply::countedNumber(std::int32_t value) {
    char digits[12];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    countedText(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

std::string_view mapNameFor(std::int32_t game, std::int32_t gameMode) {
    const bool ironHarbor = game == kIronHarborGame;
    if (gameMode == kStuntGameMode) return ironHarbor ? "Iron Harbor Stunt" : "Palm Bay Stunt";
    return ironHarbor ? "Iron Harbor" : "Palm Bay";
}

}  // namespace varn
