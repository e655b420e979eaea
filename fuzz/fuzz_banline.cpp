// The reader of one ban file line and its details on arbitrary bytes. The line must split into its
// entry and its details text with nothing lost; details read without a fault must come back the same
// when written and read again; and whatever a network text holds, details built from it must read
// back without a fault and within one line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "access/BanDetails.h"
#include "protocol/BanEntryText.h"

namespace {

void check(bool holds) {
    if (!holds) std::abort();
}

bool sameDetails(const varn::BanDetails& a, const varn::BanDetails& b) {
    return a.until == b.until && a.by == b.by && a.at == b.at && a.reason == b.reason;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const varn::BanLine read = varn::readBanLine(line);

    std::string joined(read.entry);
    if (read.hasDetails) joined += std::string(varn::kBanDetailsSeparator) + std::string(read.detailsText);
    check(joined == line);
    check(read.entry.find(varn::kBanDetailsSeparator) == std::string_view::npos);

    // Readable details survive a write and a read.
    const std::string written = varn::banDetailsText(read.details);
    const varn::BanLine again = varn::readBanLine("1.2.3.4 # " + written);
    check(again.unreadableDetails == 0);
    check(sameDetails(again.details, read.details));
    if (read.unreadableDetails == 0 && read.hasDetails && !read.detailsText.empty()) {
        check(varn::readBanLine(std::string(read.entry) + " # " + written).entry == read.entry);
    }

    // The input as an admin's name and reason from the network.
    varn::BanDetails received;
    received.by = std::string(line);
    received.reason = std::string(line);
    received.until = static_cast<std::int64_t>(size) * 86400;
    const std::string stored = varn::banDetailsText(received);
    check(stored.find('\n') == std::string::npos && stored.find('\r') == std::string::npos);
    const varn::BanLine storedLine = varn::readBanLine("10.0.0.0/8 # " + stored);
    check(storedLine.unreadableDetails == 0);
    check(storedLine.details.until == received.until);
    check(storedLine.details.reason.size() <= varn::kMaxBanReasonLength);

    // A date read from the input is written back the same way.
    if (const auto date = varn::readUtcDate(line)) check(varn::utcDateText(*date) == line);
    // An entry form read from the input covers its own address.
    if (const auto form = varn::banentry::readEntryForm(line)) check(form->covers(form->address));
    return 0;
}
