// The ban file loader and the match test on arbitrary file content.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "admin/BanList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/varn-fuzz-banfile-" + std::to_string(::getpid());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // One list for the whole run: loading replaces its entries, and no save (with its fsync) runs
    // per input.
    static varn::BanList& bans = *new varn::BanList;
    if (!bans.load(path)) return 0;
    for (const char* peer : {"127.0.0.1", "10.1.2.3", "255.255.255.255", "0.0.0.0", ""}) bans.isBanned(peer);
    const std::size_t probes = bans.entries().size() < 8 ? bans.entries().size() : 8;
    for (std::size_t i = 0; i < probes; ++i) bans.isBanned(bans.entries()[i]);
    char listing[1024];
    bans.listText(listing);
    return 0;
}
