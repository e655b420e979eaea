#include "browser/StatusReply.h"

#include "protocol/BrowserProtocol.h"

namespace varn {

void StatusReply::begin(std::string_view gameName, std::int32_t gamePort) {
    writer_.clear();
    writer_.text(browser::kStatusMagic);
    browser::encodeCountedText(writer_, gameName);
    browser::encodeCountedNumber(writer_, gamePort);
}

void StatusReply::addStatus(Text serverName, Text gameType, Text mapName, Text version, std::int32_t password,
                            std::int32_t players, std::int32_t maxPlayers) {
    if (!acceptsGroup()) return;
    browser::encodeCountedText(writer_, serverName.value_or(""));
    browser::encodeCountedText(writer_, gameType.value_or(""));
    browser::encodeCountedText(writer_, mapName.value_or(""));
    browser::encodeCountedText(writer_, version.value_or(""));
    browser::encodeCountedNumber(writer_, password);
    browser::encodeCountedNumber(writer_, players);
    browser::encodeCountedNumber(writer_, maxPlayers);
}

void StatusReply::addRule(Text key, Text value) {
    if (!acceptsGroup()) return;
    browser::encodeCountedText(writer_, key.value_or(""));
    browser::encodeCountedText(writer_, value.value_or(""));
}

void StatusReply::endRules() {
    writer_.byte(browser::kEndOfRules);
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
        if (field) browser::encodeCountedText(writer_, *field);
    }
}

}  // namespace varn
