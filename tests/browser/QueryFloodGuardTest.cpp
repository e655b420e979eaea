#include <gtest/gtest.h>

#include "browser/QueryFloodGuard.h"

namespace varn {
namespace {

TEST(QueryFloodGuardTest, StatusBucketAllowsABurstThenTwoASecond) {
    const std::uint32_t start = 0xFFFFF000u;  // the tick wraps during the test
    QueryFloodGuard guard(start);
    int allowed = 0;
    for (int query = 0; query < 100; ++query) allowed += guard.allowStatus(1, start) ? 1 : 0;
    EXPECT_EQ(allowed, 8);
    EXPECT_TRUE(guard.allowStatus(2, start)) << "another address has its own bucket";

    EXPECT_FALSE(guard.allowStatus(1, start + 499));
    EXPECT_TRUE(guard.allowStatus(1, start + 500));
    allowed = 0;
    for (std::uint32_t ms = 501; ms <= 10'501; ms += 10) allowed += guard.allowStatus(1, start + ms) ? 1 : 0;
    EXPECT_EQ(allowed, 20) << "ten seconds refill twenty replies";
}

TEST(QueryFloodGuardTest, GlobalBudgetCapsReplyBytesPerSecond) {
    QueryFloodGuard guard(1000);
    std::size_t sent = 0;
    while (guard.allowReplyBytes(1000, 1000)) sent += 1000;
    EXPECT_EQ(sent, 262'000u);
    EXPECT_FALSE(guard.allowReplyBytes(1000, 1001));
    EXPECT_TRUE(guard.allowReplyBytes(1000, 1005)) << "about 262 bytes come back every millisecond";
    EXPECT_TRUE(guard.allowReplyBytes(200'000, 2005));
}

TEST(QueryFloodGuardTest, MinuteReportCountsDropsAndAddressesOnce) {
    QueryFloodGuard guard(0);
    std::uint32_t dropped = 0;
    std::size_t addresses = 0;
    guard.countDrop(1);
    guard.countDrop(1);
    guard.countDrop(2);
    EXPECT_FALSE(guard.takeMinuteReport(59'999, dropped, addresses));
    ASSERT_TRUE(guard.takeMinuteReport(60'000, dropped, addresses));
    EXPECT_EQ(dropped, 3u);
    EXPECT_EQ(addresses, 2u);
    EXPECT_FALSE(guard.takeMinuteReport(120'000, dropped, addresses)) << "a quiet minute reports nothing";
}

TEST(QueryFloodGuardTest, AddressTableStaysBounded) {
    QueryFloodGuard guard(0);
    for (std::uint32_t address = 0; address < QueryFloodGuard::kMaxAddresses + 10; ++address) {
        guard.allowStatus(address, 0);
    }
    EXPECT_EQ(guard.trackedAddresses(), QueryFloodGuard::kMaxAddresses);
}

}  // namespace
}  // namespace varn
