#include "protocol/BrowserStatusReader.h"

#include <charconv>
#include <string_view>

namespace varn::browser {

namespace {

constexpr std::string_view kHeartbeatStart = "\\hb\\";
constexpr std::size_t kFullPieceLength = kPieceDataLength + kPieceIdentifierLength;

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Reads counted texts one after the other, never past the reply's end.
class CountedReader {
public:
    explicit CountedReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool atEnd() const { return position_ >= bytes_.size(); }

    std::optional<std::uint8_t> byte() {
        if (atEnd()) return std::nullopt;
        return bytes_[position_++];
    }

    std::optional<std::string> text() {
        const std::optional<std::uint8_t> length = byte();
        if (!length || *length == 0) return std::nullopt;
        const std::size_t characters = *length - 1u;
        if (bytes_.size() - position_ < characters) return std::nullopt;
        std::string result(asText(bytes_.subspan(position_, characters)));
        position_ += characters;
        return result;
    }

    // A counted text that holds a signed decimal number.
    std::optional<std::int32_t> number() {
        const std::optional<std::string> digits = text();
        if (!digits) return std::nullopt;
        return parseNumber(*digits);
    }

    // The next byte without taking it.
    std::optional<std::uint8_t> peek() const {
        if (atEnd()) return std::nullopt;
        return bytes_[position_];
    }

    static std::optional<std::int32_t> parseNumber(std::string_view digits) {
        std::int32_t value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
        return value;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

std::uint32_t identifierOf(std::span<const std::uint8_t> datagram) {
    const std::span<const std::uint8_t> tail = datagram.subspan(datagram.size() - kPieceIdentifierLength);
    return static_cast<std::uint32_t>(tail[0]) | static_cast<std::uint32_t>(tail[1]) << 8 |
           static_cast<std::uint32_t>(tail[2]) << 16 | static_cast<std::uint32_t>(tail[3]) << 24;
}

}  // namespace

std::optional<std::uint16_t> decodeHeartbeat(std::span<const std::uint8_t> datagram) {
    std::string_view text = asText(datagram);
    if (text.substr(0, kHeartbeatStart.size()) != kHeartbeatStart) return std::nullopt;
    text.remove_prefix(kHeartbeatStart.size());
    const std::size_t slash = text.find('\\');
    if (slash == std::string_view::npos || text.substr(slash + 1) != kGameName) return std::nullopt;
    const std::string_view digits = text.substr(0, slash);
    if (digits.empty() || digits.size() > 5 || digits.front() == '0' ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::uint32_t port = 0;
    for (const char digit : digits) port = port * 10 + static_cast<std::uint32_t>(digit - '0');
    if (port > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

std::optional<ServerStatus> decodeStatusReply(std::span<const std::uint8_t> reply) {
    if (asText(reply).substr(0, kStatusMagic.size()) != kStatusMagic) return std::nullopt;
    CountedReader reader(reply.subspan(kStatusMagic.size()));
    ServerStatus status;
    auto gameName = reader.text();
    auto gamePort = reader.number();
    auto serverName = reader.text();
    auto gameType = reader.text();
    auto mapName = reader.text();
    auto version = reader.text();
    auto password = reader.number();
    auto players = reader.number();
    auto maxPlayers = reader.number();
    if (!gameName || !gamePort || !serverName || !gameType || !mapName || !version || !password || !players ||
        !maxPlayers) {
        return std::nullopt;
    }
    status.gameName = std::move(*gameName);
    status.gamePort = *gamePort;
    status.serverName = std::move(*serverName);
    status.gameType = std::move(*gameType);
    status.mapName = std::move(*mapName);
    status.version = std::move(*version);
    status.password = *password != 0;
    status.players = *players;
    status.maxPlayers = *maxPlayers;

    // Rules, pair after pair, up to the empty key.
    for (;;) {
        const std::optional<std::uint8_t> next = reader.peek();
        if (!next) return std::nullopt;
        if (*next == kEndOfRules) {
            reader.byte();
            break;
        }
        auto key = reader.text();
        auto value = reader.text();
        if (!key || !value || status.rules.size() >= kMostStatusRules) return std::nullopt;
        status.rules.emplace_back(std::move(*key), std::move(*value));
    }

    // Players to the end: a flags byte, then each field its bit says is there.
    while (!reader.atEnd()) {
        const std::uint8_t flags = *reader.byte();
        if (flags == 0 || flags > 0x3F || status.playerList.size() >= kMostStatusPlayers) return std::nullopt;
        StatusPlayer player;
        for (std::size_t field = 0; field < 6; ++field) {
            if ((flags & (1u << field)) == 0) continue;
            auto value = reader.text();
            if (!value) return std::nullopt;
            if (field == 0) player.name = std::move(*value);
            if (field == 3) player.score = CountedReader::parseNumber(*value).value_or(0);
            if (field == 4) player.ping = CountedReader::parseNumber(*value).value_or(0);
        }
        status.playerList.push_back(std::move(player));
    }
    return status;
}

void StatusPieces::clear() {
    for (auto& piece : pieces_) piece.clear();
    present_.fill(false);
    identifier_.reset();
    lastPiece_.reset();
    reply_.clear();
}

bool StatusPieces::allHere() const {
    if (!lastPiece_) return false;
    for (std::size_t index = 0; index <= *lastPiece_; ++index) {
        if (!present_[index]) return false;
    }
    return true;
}

StatusPieces::Outcome StatusPieces::add(std::span<const std::uint8_t> datagram) {
    const std::string_view text = asText(datagram);
    if (datagram.size() < kPieceHeaderLength || text.substr(0, 3) != kStatusMagic.substr(0, 3)) {
        return Outcome::refused;
    }
    const int number = static_cast<int>(datagram[3]) - '1';
    if (number < 0 || number >= static_cast<int>(kMostPieces) || datagram.size() > kFullPieceLength) {
        return Outcome::refused;
    }
    const auto index = static_cast<std::size_t>(number);
    if (index == 0 && datagram.size() < kWholeReplyBelow) {
        reply_.assign(datagram.begin(), datagram.end());
        return Outcome::complete;
    }
    // A piece: at least its header (after the first), one byte and the identifier.
    if (datagram.size() < kPieceHeaderLength + 1 + kPieceIdentifierLength) return Outcome::refused;
    const std::uint32_t identifier = identifierOf(datagram);
    if (identifier_ && *identifier_ != identifier) return Outcome::refused;
    if (present_[index]) return Outcome::refused;
    identifier_ = identifier;
    const std::size_t skip = index == 0 ? 0 : kPieceHeaderLength;
    const bool full = datagram.size() == kFullPieceLength;
    std::span<const std::uint8_t> data = datagram.subspan(skip, datagram.size() - skip - kPieceIdentifierLength);
    // The closing piece after a reply that filled its last piece holds one 0x00 and no reply bytes.
    if (!full && index > 0 && data.size() == 1 && data[0] == 0) data = {};
    if (!full) {
        if (lastPiece_ && *lastPiece_ != index) return Outcome::refused;
        lastPiece_ = index;
    }
    pieces_[index].assign(data.begin(), data.end());
    present_[index] = true;
    if (!allHere()) return Outcome::incomplete;
    reply_.clear();
    for (std::size_t piece = 0; piece <= *lastPiece_; ++piece) {
        reply_.insert(reply_.end(), pieces_[piece].begin(), pieces_[piece].end());
    }
    return Outcome::complete;
}

}  // namespace varn::browser
