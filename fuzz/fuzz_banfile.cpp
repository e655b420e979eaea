// The ban file loader and the match test on arbitrary file content. Every answer of the list is
// checked against a plain scan of its entries (exact pass, then a pass over the ranges: CIDR prefixes
// and octets with 0 matching anything), so the fuzzer also looks for texts on which the list's index
// and the two passes disagree.
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/BanList.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "net/PeerAddress.h"
#include "protocol/BanEntryText.h"

namespace {

std::optional<std::array<std::uint8_t, 4>> octetsOf(std::string_view text) {
    const std::string terminated(text);
    const std::uint32_t address = varn::addressFromText(terminated.c_str());
    if (address == 0xFFFFFFFFu && text != "255.255.255.255") return std::nullopt;
    std::array<std::uint8_t, 4> octets{};
    std::memcpy(octets.data(), &address, octets.size());
    return octets;
}

bool scanIsBanned(const std::vector<std::string>& entries, std::string_view text) {
    for (const std::string& entry : entries) {
        if (entry == text) return true;
    }
    const auto peer = octetsOf(text);
    if (!peer) return false;
    const std::uint32_t host = static_cast<std::uint32_t>((*peer)[0]) << 24 | (*peer)[1] << 16 | (*peer)[2] << 8 |
                               (*peer)[3];
    for (const std::string& entry : entries) {
        if (entry.find('/') != std::string::npos) {
            const auto form = varn::banentry::readEntryForm(entry);
            if (!form) continue;
            const std::uint32_t mask = form->prefixLength == 0 ? 0u : 0xFFFFFFFFu << (32 - form->prefixLength);
            if ((host & mask) == (form->address & mask)) return true;
            continue;
        }
        const auto range = octetsOf(entry);
        if (!range) continue;
        bool matches = true;
        for (std::size_t i = 0; i < 4; ++i) matches = matches && ((*range)[i] == 0 || (*range)[i] == (*peer)[i]);
        if (matches) return true;
    }
    return false;
}

void checkText(const varn::BanList& bans, std::string_view text) {
    if (bans.isBanned(text) != scanIsBanned(bans.entries(), text)) std::abort();
}

void checkAddress(const varn::BanList& bans, std::uint32_t networkAddress) {
    const varn::PeerAddress peer{networkAddress, 0};
    if (bans.isBannedAddress(peer) != scanIsBanned(bans.entries(), peer.ipText().view())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/varn-fuzz-banfile-" + std::to_string(::getpid());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // One list for the whole run: loading replaces its entries, and no save (with its fsync) runs
    // per input.
    static varn::platform::ManualClock clock;
    static varn::BanList& bans = *new varn::BanList(varn::platform::FileSystem::system(), clock);
    if (!bans.load(path)) return 0;
    for (const char* peer : {"127.0.0.1", "10.1.2.3", "255.255.255.255", "0.0.0.0", ""}) checkText(bans, peer);
    const std::size_t probes = bans.entries().size() < 8 ? bans.entries().size() : 8;
    for (std::size_t i = 0; i < probes; ++i) {
        checkText(bans, bans.entries()[i]);
        // The address an entry reads as, and one that differs from it in every octet.
        const auto octets = octetsOf(bans.entries()[i]);
        if (!octets) continue;
        std::uint32_t address = 0;
        std::memcpy(&address, octets->data(), sizeof address);
        checkAddress(bans, address);
        checkAddress(bans, address ^ 0x01010101u);
    }
    char listing[1024];
    bans.listText(listing);
    return 0;
}
