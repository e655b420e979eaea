#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <time.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#endif

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigFile.h"
#include "support/LogCapture.h"

namespace varn {
namespace {

using Values = std::vector<std::string>;

// What a line's values are by the documented scan, read literally: from the scan position find the
// next quote and the next space; a quote first (or no space left) opens a quoted value that ends at
// the next quote, a space first ends a plain value. Only short lines are given to it.
struct Split {
    Values values;
    bool unmatchedQuote = false;
    bool operator==(const Split&) const = default;
};

Split documentedSplit(std::string_view rest) {
    Split split;
    std::size_t position = 0;
    while (true) {
        const auto quote = rest.find('"', position);
        const auto space = rest.find(' ', position);
        if (quote != std::string_view::npos && (space == std::string_view::npos || quote < space)) {
            const auto closing = rest.find('"', quote + 1);
            if (closing == std::string_view::npos) {
                split.unmatchedQuote = true;
                return split;
            }
            if (closing > quote + 1)
                split.values.emplace_back(rest.substr(quote + 1, closing - quote - 1));
            position = closing + 1;
        } else if (space != std::string_view::npos) {
            if (space > position)
                split.values.emplace_back(rest.substr(position, space - position));
            position = space + 1;
        } else {
            if (position < rest.size())
                split.values.emplace_back(rest.substr(position));
            return split;
        }
    }
}

Split loadedSplit(std::string_view rest) {
    testing::LogCapture log;
    ConfigFile config;
    config.loadText("Key " + std::string(rest) + "\n");
    Split split;
    for (std::int32_t i = 0; i < config.valueCount("Key"); ++i) {
        split.values.push_back(*config.getString("Key", static_cast<std::uint32_t>(i)));
    }
    split.unmatchedQuote = log.text() == "ERROR: Unmatched quotation in configuration file. (Line #1)\n";
    EXPECT_TRUE(split.unmatchedQuote || log.text().empty()) << log.text();
    return split;
}

// Every line of up to eight bytes made of a letter, a space and a quote splits into the same values
// (and the same unmatched-quote report) as the documented scan gives.
TEST(ConfigFileScanTest, EveryShortLineSplitsAsTheDocumentedScanSays) {
    constexpr std::string_view kAlphabet = "a \"";
    std::size_t lines = 0;
    std::string rest;
    const std::function<void(std::size_t)> every = [&](std::size_t length) {
        if (rest.size() == length) {
            // The line is trimmed before it is split: trailing spaces never reach the scan.
            const std::string_view trimmed(rest.data(), rest.find_last_not_of(' ') + 1);
            ASSERT_EQ(loadedSplit(rest), documentedSplit(trimmed)) << "values of [" << rest << "]";
            ++lines;
            return;
        }
        for (char byte : kAlphabet) {
            rest.push_back(byte);
            every(length);
            rest.pop_back();
            if (::testing::Test::HasFatalFailure())
                return;
        }
    };
    for (std::size_t length = 0; length <= 8; ++length)
        every(length);
    EXPECT_EQ(lines, 9841u);  // 3^0 + 3^1 + ... + 3^8
}

// Time this thread has run, so that other processes on a busy machine do not count.
double threadSeconds() {
#if defined(_WIN32)
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
#else
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
}

// A line is read once, however long it is: a line ten times as long takes about ten times as long to
// load, where a scan of the rest of the line at each value or gap took a hundred times as long (a
// line of a million values took minutes). The lines store few values, so the time is the scan's, not
// the memory's; machine speed cancels out of the ratio, and the best of several runs keeps a busy
// machine from inflating either side.
TEST(ConfigFileScanTest, LoadTimeGrowsLinearlyWithTheLengthOfALine) {
    struct Shape {
        const char* name;
        std::string prefix;
        std::string unit;  // repeated to make the line long
        std::string suffix;
        bool valuePerUnit;  // else the line holds the two values a and z
    };
    const Shape shapes[] = {
        {"empty gaps between spaces", "Key a", " ", " z", false},
        {"empty quoted values side by side", "Key a ", "\"\"", "\"z\"", false},
        {"a value among many spaces", "Key", "               z", "", true},
    };
#if defined(__GLIBC__)
    // Buffers of the long line would otherwise be mapped afresh at every load, and the first touch of
    // each new page (slow on some virtual machines) would be timed in place of the scan.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
#endif
    constexpr std::size_t kShortLine = 20'000;
    constexpr std::size_t kLongLine = 10 * kShortLine;
    constexpr double kAllowedRatio = 30;
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const auto loadSeconds = [&shape](std::size_t bytes) {
            const std::size_t units = bytes / shape.unit.size();
            std::string text = shape.prefix;
            for (std::size_t i = 0; i < units; ++i)
                text += shape.unit;
            text += shape.suffix + "\n";
            ConfigFile config;
            const double start = threadSeconds();
            config.loadText(text);
            const double elapsed = threadSeconds() - start;
            EXPECT_EQ(config.valueCount("Key"), static_cast<std::int32_t>(shape.valuePerUnit ? units : 2));
            EXPECT_EQ(*config.getString("Key", 0), shape.valuePerUnit ? "z" : "a");
            return elapsed;
        };
        double shortLine = 1e9;
        for (int run = 0; run < 5; ++run)
            shortLine = std::min(shortLine, loadSeconds(kShortLine));
        double longLine = 1e9;
        for (int run = 0; run < 5 && longLine >= kAllowedRatio * shortLine; ++run) {
            longLine = std::min(longLine, loadSeconds(kLongLine));
        }
        EXPECT_LT(longLine, kAllowedRatio * shortLine) << kLongLine << " bytes took " << longLine << " s, "
                                                       << kShortLine << " took " << shortLine << " s";
    }
}

}  // namespace
}  // namespace varn
