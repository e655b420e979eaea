// What a master reads from the network: each input is a run of datagrams (a 2-byte length before
// each), read as heartbeats, as the pieces of one status reply and, when they come together, as a
// status reply; the first datagram is also read whole as a status reply and as an HTTP request.
// Every read stays inside its bytes, and what is read back must be what was there.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "http/HttpMessage.h"
#include "protocol/BrowserStatusReader.h"

namespace {

void expect(bool condition) {
    if (!condition) std::abort();
}

void readHeartbeat(std::span<const std::uint8_t> datagram) {
    const auto port = varn::browser::decodeHeartbeat(datagram);
    if (!port) return;
    // A heartbeat taken is exactly the one that port's server would send.
    const std::string again = "\\hb\\" + std::to_string(*port) + "\\varn";
    expect(std::string_view(reinterpret_cast<const char*>(datagram.data()), datagram.size()) == again);
}

void readStatus(std::span<const std::uint8_t> reply) {
    const auto status = varn::browser::decodeStatusReply(reply);
    if (!status) return;
    expect(status->playerList.size() <= varn::browser::kMostStatusPlayers);
    expect(status->rules.size() <= varn::browser::kMostStatusRules);
    expect(status->serverName.size() <= reply.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> rest(data, size);
    varn::browser::StatusPieces pieces;
    bool first = true;
    while (rest.size() >= 2) {
        const std::size_t length = std::min<std::size_t>(rest[0] | rest[1] << 8, rest.size() - 2);
        const std::span<const std::uint8_t> datagram = rest.subspan(2, length);
        rest = rest.subspan(2 + length);
        readHeartbeat(datagram);
        if (first) {
            readStatus(datagram);
            varn::HttpRequestReader reader(512, 64);
            reader.feed(std::string_view(reinterpret_cast<const char*>(datagram.data()), datagram.size()));
            if (reader.state() == varn::HttpRequestReader::State::complete) {
                expect(reader.request().body.size() <= 64);
                expect(!reader.request().path.empty() && reader.request().path.find('\0') == std::string::npos);
            }
            first = false;
        }
        if (pieces.add(datagram) == varn::browser::StatusPieces::Outcome::complete) {
            expect(pieces.reply().size() <= varn::browser::StatusPieces::kMostPieces * 1364);
            readStatus(pieces.reply());
            pieces.clear();
        }
    }
    return 0;
}
