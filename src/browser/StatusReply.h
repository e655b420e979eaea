#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "protocol/Packet.h"

namespace varn {

// The status reply that server browsers parse: the magic, then counted texts (BrowserProtocol.h).
// Built in a fixed buffer; a group of fields is appended only while the reply is below its limit and
// is never cut, so the largest group still ends inside the buffer.
class StatusReply {
public:
    static constexpr std::size_t kCapacity = 8192;
    static constexpr std::size_t kLimit = 6144;
    static constexpr std::size_t kPlayerFieldCount = 6;

    // A text that may be absent; an absent status text is sent as an empty one, an absent player
    // field is left out and its flag bit cleared.
    using Text = std::optional<std::string_view>;
    using PlayerFields = std::array<Text, kPlayerFieldCount>;

    // Starts a new reply with the magic, the game name and the game port.
    void begin(std::string_view gameName, std::int32_t gamePort);
    void addStatus(Text serverName, Text gameType, Text mapName, Text version, std::int32_t password,
                   std::int32_t players, std::int32_t maxPlayers);
    void addRule(Text key, Text value);
    // The empty key that closes the rules section.
    void endRules();
    void addPlayer(const PlayerFields& fields);

    std::span<const std::uint8_t> bytes() const { return {writer_.data(), writer_.size()}; }

private:
    bool acceptsGroup() const { return writer_.size() < kLimit; }

    PacketWriter<kCapacity> writer_;
};

}  // namespace varn
