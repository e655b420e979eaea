// The cost of the ban test that every join and admin login runs, and of loading the ban file, for a
// small list and a large one.
//
// BanTest/<probe>/<entries> times BanList::isBannedAddress over 1024 peer addresses of one kind:
//   exactHit  addresses that are entries of the list,
//   rangeHit  addresses that only a range entry (an entry with 0 octets) covers,
//   cidrHit   addresses that only a CIDR range (a.b.c.d/n) covers,
//   miss      addresses that no entry covers (the test every admitted player passes).
// The lists are mostly single addresses with one entry in a hundred a range, one in a hundred a CIDR
// range of a prefix length from 4 to 32 (so that nearly every mask the index can hold is in use, the
// worst case for a miss), one in a thousand a text that is no address at all, in a seeded random
// order; one line in ten carries details (a time limit, who and why).
//
// BanLoad/<entries> times BanList::load of a file holding such a list.

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "access/BanList.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "net/PeerAddress.h"

namespace {

using varn::PeerAddress;

constexpr std::size_t kProbes = 1024;
constexpr std::size_t kCheckedProbes = 32;

enum class Probe { exactHit, rangeHit, cidrHit, miss };

// A CIDR range: its address in host byte order and its prefix length.
struct CidrRange {
    std::uint32_t address;
    int length;

    std::uint32_t mask() const { return length == 0 ? 0u : ~0u << (32 - length); }
};

std::string dotted(std::uint32_t hostAddress) {
    return std::to_string(hostAddress >> 24) + "." + std::to_string((hostAddress >> 16) & 0xFFu) + "." +
           std::to_string((hostAddress >> 8) & 0xFFu) + "." + std::to_string(hostAddress & 0xFFu);
}

// A ban list of a given size and peer addresses to test against it. Single addresses have a first
// octet of 1..199 and no 0 octet; ranges have a first octet of 200..223 and CIDR ranges lie in
// 224.0.0.0/4, so the four kinds of probe never overlap.
class BanWorld {
public:
    explicit BanWorld(std::size_t entryCount) {
        const std::size_t rangeCount = std::max<std::size_t>(1, entryCount / 100);
        const std::size_t cidrCount = std::max<std::size_t>(1, entryCount / 100);
        const std::size_t oddCount = entryCount / 1000;
        const std::size_t exactCount = entryCount - rangeCount - cidrCount - oddCount;
        while (exact_.size() < exactCount) {
            const std::uint32_t address = octet(1, 199) << 24 | octet(1, 254) << 16 | octet(1, 254) << 8 | octet(1, 254);
            if (exactSet_.insert(address).second) exact_.push_back(address);
        }
        for (std::size_t index = 0; index < rangeCount; ++index) ranges_.push_back(randomRange());
        for (std::size_t index = 0; index < cidrCount; ++index) {
            const int length = static_cast<int>(octet(4, 32));
            cidrs_.push_back(CidrRange{0xE0000000u | (octet(0, 0xFFFFFFFu) & 0x0FFFFFFFu), length});
        }
        for (std::uint32_t address : exact_) entries_.push_back(dotted(address));
        for (std::uint32_t range : ranges_) entries_.push_back(dotted(range));
        for (const CidrRange& cidr : cidrs_) entries_.push_back(dotted(cidr.address) + "/" + std::to_string(cidr.length));
        const char* const oddTexts[] = {"", "not an address", "300.1.1.1", "1.2.3.4.5", "#10.0.0.0"};
        for (std::size_t index = 0; index < oddCount; ++index) entries_.emplace_back(oddTexts[index % 5]);
        std::shuffle(entries_.begin(), entries_.end(), random_);
    }

    const std::vector<std::string>& entries() const { return entries_; }

    // Who and why for one line in ten, with a date far ahead so that nothing runs out.
    static bool hasDetails(std::size_t index) { return index % 10 == 0; }
    static varn::BanDetails details() {
        varn::BanDetails details;
        details.until = 4102444800;  // 2100-01-01
        details.by = "Ops";
        details.at = 1796904000;
        details.reason = "wall hack";
        return details;
    }

    std::vector<PeerAddress> probes(Probe kind) {
        std::vector<PeerAddress> peers;
        while (peers.size() < kProbes) {
            const std::uint32_t address = probeAddress(kind);
            if (address != 0) peers.push_back(PeerAddress::fromHostOrder(address, 4000));
        }
        return peers;
    }

private:
    std::uint32_t octet(std::uint32_t low, std::uint32_t high) {
        return std::uniform_int_distribution<std::uint32_t>(low, high)(random_);
    }

    // Mostly a.b.0.0 and a.b.c.0, a few a.0.c.0 and a.0.0.0.
    std::uint32_t randomRange() {
        const std::uint32_t first = octet(200, 223) << 24;
        const std::uint32_t shape = octet(0, 19);
        if (shape < 12) return first | octet(1, 254) << 16;
        if (shape < 18) return first | octet(1, 254) << 16 | octet(1, 254) << 8;
        if (shape < 19) return first | octet(1, 254) << 8;
        return first;
    }

    std::uint32_t probeAddress(Probe kind) {
        switch (kind) {
            case Probe::exactHit:
                return exact_[octet(0, static_cast<std::uint32_t>(exact_.size() - 1))];
            case Probe::rangeHit: {
                std::uint32_t address = ranges_[octet(0, static_cast<std::uint32_t>(ranges_.size() - 1))];
                for (int shift = 0; shift < 24; shift += 8) {
                    if (((address >> shift) & 0xFFu) == 0) address |= octet(1, 254) << shift;
                }
                return address;
            }
            case Probe::cidrHit: {
                const CidrRange& cidr = cidrs_[octet(0, static_cast<std::uint32_t>(cidrs_.size() - 1))];
                return (cidr.address & cidr.mask()) | (octet(0, 0xFFFFFFFFu) & ~cidr.mask());
            }
            case Probe::miss: {
                const std::uint32_t address =
                    octet(1, 199) << 24 | octet(1, 254) << 16 | octet(1, 254) << 8 | octet(1, 254);
                return exactSet_.count(address) != 0 ? 0 : address;
            }
        }
        return 0;
    }

    std::mt19937 random_{20240613};
    std::vector<std::uint32_t> exact_;
    std::unordered_set<std::uint32_t> exactSet_;
    std::vector<std::uint32_t> ranges_;
    std::vector<CidrRange> cidrs_;
    std::vector<std::string> entries_;
};

void banTest(benchmark::State& state, Probe kind) {
    BanWorld world(static_cast<std::size_t>(state.range(0)));
    varn::platform::ManualClock clock;
    varn::BanList bans(varn::platform::FileSystem::system(), clock);  // no file: adding saves nothing
    for (std::size_t index = 0; index < world.entries().size(); ++index) {
        bans.add(world.entries()[index], BanWorld::hasDetails(index) ? BanWorld::details() : varn::BanDetails{});
    }
    const std::vector<PeerAddress> peers = world.probes(kind);
    const bool expected = kind != Probe::miss;
    for (std::size_t index = 0; index < kCheckedProbes; ++index) {
        if (bans.isBannedAddress(peers[index]) != expected) {
            state.SkipWithError("a probe got the wrong answer");
            return;
        }
    }
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bans.isBannedAddress(peers[next]));
        next = (next + 1) % kProbes;
    }
    state.SetItemsProcessed(state.iterations());
}

void BanTestExactHit(benchmark::State& state) { banTest(state, Probe::exactHit); }
void BanTestRangeHit(benchmark::State& state) { banTest(state, Probe::rangeHit); }
void BanTestCidrHit(benchmark::State& state) { banTest(state, Probe::cidrHit); }
void BanTestMiss(benchmark::State& state) { banTest(state, Probe::miss); }

void BanLoad(benchmark::State& state) {
    char folderTemplate[] = "/tmp/varn-ban-bench-XXXXXX";
    if (::mkdtemp(folderTemplate) == nullptr) {
        state.SkipWithError("cannot make a scratch folder under /tmp");
        return;
    }
    const std::filesystem::path folder(folderTemplate);
    const std::string path = (folder / "banned.txt").string();
    {
        BanWorld world(static_cast<std::size_t>(state.range(0)));
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const std::string details = " # " + varn::banDetailsText(BanWorld::details());
        for (std::size_t index = 0; index < world.entries().size(); ++index) {
            out << world.entries()[index] << (BanWorld::hasDetails(index) ? details : "") << '\n';
        }
    }
    {
        varn::platform::ManualClock clock;
        varn::BanList bans(varn::platform::FileSystem::system(), clock);
        for (auto _ : state) {
            if (!bans.load(path)) {
                state.SkipWithError("cannot load the ban file");
                break;
            }
            benchmark::DoNotOptimize(bans.entries().size());
        }
        state.SetItemsProcessed(state.iterations() * state.range(0));
    }  // the list saves itself here, outside the timed loop
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

BENCHMARK(BanTestExactHit)->Name("BanTest/exactHit")->Arg(10)->Arg(100000);
BENCHMARK(BanTestRangeHit)->Name("BanTest/rangeHit")->Arg(10)->Arg(100000);
BENCHMARK(BanTestCidrHit)->Name("BanTest/cidrHit")->Arg(10)->Arg(100000);
BENCHMARK(BanTestMiss)->Name("BanTest/miss")->Arg(10)->Arg(100000);
BENCHMARK(BanLoad)->Name("BanLoad")->Arg(10)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
