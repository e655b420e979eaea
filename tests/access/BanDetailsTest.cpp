#include "access/BanDetails.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "protocol/BanEntryText.h"

namespace varn {
namespace {

using namespace std::string_literals;

// 2026-12-10T12:00:00Z
constexpr std::int64_t kDecemberTenthNoon = 1796904000;

TEST(BanDetailsTest, LineSplitsAtTheFirstSeparatorAndReadsEachKnownDetail) {
    struct Case {
        std::string line;
        std::string entry;
        bool hasDetails;
        std::string detailsText;
        std::optional<std::int64_t> until;
        std::string by;
        std::optional<std::int64_t> at;
        std::string reason;
        std::size_t unreadable;
    };
    const Case cases[] = {
        {"1.2.3.4", "1.2.3.4", false, "", std::nullopt, "", std::nullopt, "", 0},
        {"", "", false, "", std::nullopt, "", std::nullopt, "", 0},
        {"1.2.3.4 #no space after", "1.2.3.4 #no space after", false, "", std::nullopt, "", std::nullopt, "", 0},
        {"10.1.2.3 # until=2026-12-31T00:00:00Z by=Ops at=2026-12-10T12:00:00Z reason=wall hack, twice", "10.1.2.3",
         true, "until=2026-12-31T00:00:00Z by=Ops at=2026-12-10T12:00:00Z reason=wall hack, twice",
         kDecemberTenthNoon + 20 * 86400 + 12 * 3600, "Ops", kDecemberTenthNoon, "wall hack, twice", 0},
        // The reason runs to the end of the line, separators and key words included.
        {"1.0.0.0/8 # reason=a # b until=x", "1.0.0.0/8", true, "reason=a # b until=x", std::nullopt, "",
         std::nullopt, "a # b until=x", 0},
        {"1.2.3.4 # by=join-flood", "1.2.3.4", true, "by=join-flood", std::nullopt, "join-flood", std::nullopt, "",
         0},
        {"1.2.3.4 # ", "1.2.3.4", true, "", std::nullopt, "", std::nullopt, "", 0},
        // Unreadable details are counted and left out; the readable ones around them still count.
        {"1.2.3.4 # colour=red by=Ops", "1.2.3.4", true, "colour=red by=Ops", std::nullopt, "Ops", std::nullopt, "",
         1},
        {"1.2.3.4 # until=2026-02-30T00:00:00Z at=2026-12-10T12:00:00Z", "1.2.3.4", true,
         "until=2026-02-30T00:00:00Z at=2026-12-10T12:00:00Z", std::nullopt, "", kDecemberTenthNoon, "", 1},
        {"1.2.3.4 # until=tomorrow", "1.2.3.4", true, "until=tomorrow", std::nullopt, "", std::nullopt, "", 1},
        {"1.2.3.4 # by=A by=B", "1.2.3.4", true, "by=A by=B", std::nullopt, "A", std::nullopt, "", 1},
        {"1.2.3.4 # by=a=b", "1.2.3.4", true, "by=a=b", std::nullopt, "", std::nullopt, "", 1},
        {"1.2.3.4 # by=Ops  at=2026-12-10T12:00:00Z", "1.2.3.4", true, "by=Ops  at=2026-12-10T12:00:00Z",
         std::nullopt, "Ops", kDecemberTenthNoon, "", 1},
        {"1.2.3.4 # reason=" + std::string(121, 'r'), "1.2.3.4", true, "reason=" + std::string(121, 'r'),
         std::nullopt, "", std::nullopt, "", 1},
        {"1.2.3.4 # reason=tab\there", "1.2.3.4", true, "reason=tab\there", std::nullopt, "", std::nullopt, "", 1},
        {"1.2.3.4 # by=\x80", "1.2.3.4", true, "by=\x80", std::nullopt, "", std::nullopt, "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const BanLine line = readBanLine(c.line);
        EXPECT_EQ(line.entry, c.entry);
        EXPECT_EQ(line.hasDetails, c.hasDetails);
        EXPECT_EQ(line.detailsText, c.detailsText);
        EXPECT_EQ(line.details.until, c.until);
        EXPECT_EQ(line.details.by, c.by);
        EXPECT_EQ(line.details.at, c.at);
        EXPECT_EQ(line.details.reason, c.reason);
        EXPECT_EQ(line.unreadableDetails, c.unreadable);
    }
}

TEST(BanDetailsTest, DatesAreWrittenAndReadAsUtcSeconds) {
    struct Case {
        std::int64_t seconds;
        const char* text;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {kDecemberTenthNoon, "2026-12-10T12:00:00Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {4107542399, "2100-02-28T23:59:59Z"},
        {-1, "1969-12-31T23:59:59Z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(utcDateText(c.seconds), c.text);
        EXPECT_EQ(readUtcDate(c.text), std::optional<std::int64_t>(c.seconds));
    }
    for (const char* text : {"2026-12-10T12:00:00", "2026-12-10 12:00:00Z", "2026-13-01T00:00:00Z",
                             "2100-02-29T00:00:00Z", "2026-12-10T24:00:00Z", "2026-12-10T12:60:00Z",
                             "2026-1a-10T12:00:00Z", "+026-12-10T12:00:00Z", ""}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(readUtcDate(text), std::nullopt);
    }
}

// Whatever comes from the network, the written details read back as they were stored and no text
// starts a new line or a new detail.
TEST(BanDetailsTest, NetworkTextsCannotStartALineOrADetail) {
    BanDetails details;
    details.until = kDecemberTenthNoon + 3600;
    details.by = "Bad Admin#x=y\n";
    details.at = kDecemberTenthNoon;
    details.reason = "line\nfeed\r and # then by=me " + std::string(200, 'z');
    const std::string text = banDetailsText(details);
    EXPECT_EQ(text, "until=2026-12-10T13:00:00Z by=Bad?Admin?x?y? at=2026-12-10T12:00:00Z reason=line?feed? and # "
                    "then by=me " +
                        std::string(120 - 28, 'z'));
    const BanLine line = readBanLine("1.2.3.4 # " + text);
    EXPECT_EQ(line.unreadableDetails, 0u);
    EXPECT_EQ(line.details.until, details.until);
    EXPECT_EQ(line.details.by, "Bad?Admin?x?y?");
    EXPECT_EQ(line.details.at, details.at);
    EXPECT_EQ(line.details.reason.size(), kMaxBanReasonLength);
    EXPECT_EQ(banDetailsText({}), "");
    EXPECT_EQ(banDetailValue("\x01 \x7F~!"s), "???~!");
}

TEST(BanEntryTextTest, OnlyDottedAddressesAndCidrRangesAreEntryForms) {
    struct Case {
        const char* text;
        std::optional<std::uint32_t> address;
        int prefixLength;
        std::uint32_t mask;
    };
    const Case cases[] = {
        {"10.0.0.0", 0x0A000000u, banentry::kWholeOctets, 0xFF000000u},
        {"10.0.5.0", 0x0A000500u, banentry::kWholeOctets, 0xFF00FF00u},
        {"0.0.0.0", 0u, banentry::kWholeOctets, 0u},
        {"255.255.255.255", 0xFFFFFFFFu, banentry::kWholeOctets, 0xFFFFFFFFu},
        {"10.0.0.0/8", 0x0A000000u, 8, 0xFF000000u},
        {"10.1.2.3/8", 0x0A010203u, 8, 0xFF000000u},
        {"192.168.1.0/23", 0xC0A80100u, 23, 0xFFFFFE00u},
        {"0.0.0.0/0", 0u, 0, 0u},
        {"1.2.3.4/32", 0x01020304u, 32, 0xFFFFFFFFu},
        {"1.2.3.4/33", std::nullopt, 0, 0},
        {"1.2.3.4/", std::nullopt, 0, 0},
        {"1.2.3.4/08", std::nullopt, 0, 0},
        {"1.2.3.4/-1", std::nullopt, 0, 0},
        {"1.2.3.4/8/8", std::nullopt, 0, 0},
        {"1.2.3", std::nullopt, 0, 0},
        {"1.2.3.4.5", std::nullopt, 0, 0},
        {"1..3.4", std::nullopt, 0, 0},
        {"256.1.1.1", std::nullopt, 0, 0},
        {"010.1.1.1", std::nullopt, 0, 0},
        {"0x0A.0.0.0", std::nullopt, 0, 0},
        {"1.2.3.4 ", std::nullopt, 0, 0},
        {" 1.2.3.4", std::nullopt, 0, 0},
        {"1.2.3.", std::nullopt, 0, 0},
        {"", std::nullopt, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto form = banentry::readEntryForm(c.text);
        ASSERT_EQ(form.has_value(), c.address.has_value());
        if (!form) continue;
        EXPECT_EQ(form->address, *c.address);
        EXPECT_EQ(form->prefixLength, c.prefixLength);
        EXPECT_EQ(form->hostMask(), c.mask);
    }
}

}  // namespace
}  // namespace varn
