#include <gtest/gtest.h>

#include "LogLine.h"

namespace varnstats {
namespace {

TEST(LogLineTest, Placeholder) { EXPECT_EQ(parseLogLine("Quit: 3").kind, LineKind::Quit); }

}  // namespace
}  // namespace varnstats
