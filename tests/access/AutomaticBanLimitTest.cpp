#include "access/AutomaticBanLimit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/LogCapture.h"

namespace varn {
namespace {

using Lines = std::vector<std::string>;

// A minute allows its number of bans; every offender after that is dropped until the minute is
// over, and the minute's end sums the dropped ones up in one line. A quiet minute says nothing.
TEST(AutomaticBanLimitTest, BansUpToTheLimitThenDropsForTheRestOfTheMinute) {
    testing::LogCapture log;
    AutomaticBanLimit limit(3);
    const std::int64_t start = 1000;
    for (std::uint32_t address = 1; address <= 3; ++address) {
        EXPECT_TRUE(limit.allowBan(address, start + address - 1)) << address;
    }
    for (std::uint32_t address = 4; address <= 1003; ++address) {
        EXPECT_FALSE(limit.allowBan(address, start + 10)) << address;
    }
    EXPECT_FALSE(limit.drops(1, start + 10)) << "a banned offender is the ban list's business";
    EXPECT_TRUE(limit.drops(4, start + 10));
    EXPECT_TRUE(limit.drops(1003, start + 59));
    EXPECT_FALSE(limit.drops(5000, start + 10)) << "nobody else is dropped";

    limit.endMinuteIfOver(start + 59);
    EXPECT_TRUE(log.lines().empty()) << "the minute is not over";
    limit.endMinuteIfOver(start + 60);
    EXPECT_EQ(log.lines(), Lines{"SERVER-WARNING: 1000 flood offenders dropped unanswered instead of banned in "
                                 "the last minute (AutoBanMaxPerMinute 3)."});
    EXPECT_FALSE(limit.drops(4, start + 60));

    // A new minute starts with the next offender and allows its own bans.
    log.clear();
    EXPECT_TRUE(limit.allowBan(7, start + 200));
    EXPECT_TRUE(limit.allowBan(8, start + 200));
    EXPECT_TRUE(limit.allowBan(9, start + 259));
    EXPECT_FALSE(limit.allowBan(10, start + 259));
    EXPECT_TRUE(limit.allowBan(11, start + 260)) << "the minute ended at the next offender";
    EXPECT_EQ(log.lines(), Lines{"SERVER-WARNING: 1 flood offenders dropped unanswered instead of banned in "
                                 "the last minute (AutoBanMaxPerMinute 3)."});
    log.clear();
    limit.endMinuteIfOver(start + 400);
    EXPECT_TRUE(log.lines().empty()) << "a minute within the limit says nothing";
}

}  // namespace
}  // namespace varn
