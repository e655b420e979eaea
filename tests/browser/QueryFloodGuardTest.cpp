#include <gtest/gtest.h>

#include "browser/QueryFloodGuard.h"

namespace varn {
namespace {

TEST(QueryFloodGuardTest, StatusBucketAllowsABurstThenTwoASecond) {
    const std::int64_t start = 5000;
    QueryFloodGuard guard(start);
    int allowed = 0;
    for (int query = 0; query < 100; ++query) allowed += guard.allowStatus(1, start) ? 1 : 0;
    EXPECT_EQ(allowed, 8);
    EXPECT_TRUE(guard.allowStatus(2, start)) << "another address has its own bucket";

    EXPECT_TRUE(guard.allowStatus(1, start + 1));
    EXPECT_TRUE(guard.allowStatus(1, start + 1));
    EXPECT_FALSE(guard.allowStatus(1, start + 1));
    allowed = 0;
    for (std::int64_t second = 2; second <= 11; ++second) {
        for (int query = 0; query < 10; ++query) allowed += guard.allowStatus(1, start + second) ? 1 : 0;
    }
    EXPECT_EQ(allowed, 20) << "ten seconds refill twenty replies";

    // A reading that goes back (it cannot on a monotonic clock) gives nothing back.
    EXPECT_FALSE(guard.allowStatus(1, start - 100'000));
    EXPECT_FALSE(guard.allowStatus(1, start + 11));
    // A long quiet time fills the bucket, never beyond the burst.
    allowed = 0;
    for (int query = 0; query < 100; ++query) allowed += guard.allowStatus(1, start + 1'000'000'000) ? 1 : 0;
    EXPECT_EQ(allowed, 8);
}

TEST(QueryFloodGuardTest, GlobalBudgetCapsReplyBytesPerSecond) {
    QueryFloodGuard guard(1000);
    std::size_t sent = 0;
    while (guard.allowReplyBytes(1000, 1000)) sent += 1000;
    EXPECT_EQ(sent, 262'000u);
    EXPECT_TRUE(guard.allowReplyBytes(144, 1000)) << "the budget is spent to its last byte";
    EXPECT_FALSE(guard.allowReplyBytes(1, 1000));
    sent = 0;
    while (guard.allowReplyBytes(1000, 1001)) sent += 1000;
    EXPECT_EQ(sent, 262'000u) << "a second brings back 256 KiB, never more";
    EXPECT_TRUE(guard.allowReplyBytes(200'000, 1003));
}

TEST(QueryFloodGuardTest, MinuteReportCountsDropsAndAddressesOnce) {
    QueryFloodGuard guard(0);
    std::uint32_t dropped = 0;
    std::size_t addresses = 0;
    guard.countDrop(1);
    guard.countDrop(1);
    guard.countDrop(2);
    EXPECT_FALSE(guard.takeMinuteReport(59, dropped, addresses));
    ASSERT_TRUE(guard.takeMinuteReport(60, dropped, addresses));
    EXPECT_EQ(dropped, 3u);
    EXPECT_EQ(addresses, 2u);
    EXPECT_FALSE(guard.takeMinuteReport(120, dropped, addresses)) << "a quiet minute reports nothing";
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
