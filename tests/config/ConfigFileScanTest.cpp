#include <gtest/gtest.h>

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
            if (closing > quote + 1) split.values.emplace_back(rest.substr(quote + 1, closing - quote - 1));
            position = closing + 1;
        } else if (space != std::string_view::npos) {
            if (space > position) split.values.emplace_back(rest.substr(position, space - position));
            position = space + 1;
        } else {
            if (position < rest.size()) split.values.emplace_back(rest.substr(position));
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
            if (::testing::Test::HasFatalFailure()) return;
        }
    };
    for (std::size_t length = 0; length <= 8; ++length) every(length);
    EXPECT_EQ(lines, 9841u);  // 3^0 + 3^1 + ... + 3^8
}

// A line is read once, however many values it holds: ten times the values take about ten times as
// long, where a scan of the rest of the line for each value took a hundred times as long (a line of
// a million values took minutes to load). Machine speed cancels out of the ratio; the best of three runs
// keeps a busy machine from inflating either side.
TEST(ConfigFileScanTest, LoadTimeGrowsLinearlyWithTheNumberOfValuesOnALine) {
    struct Shape {
        const char* name;
        std::string (*line)(std::size_t values);
        std::string lastValue;
    };
    const Shape shapes[] = {
        {"plain values between spaces",
         [](std::size_t values) {
             std::string line = "Key";
             for (std::size_t i = 0; i < values; ++i) line += " v" + std::to_string(i % 10);
             return line;
         },
         "v9"},
        {"quoted values side by side, no space after the key's",
         [](std::size_t values) {
             std::string line = "Key ";
             for (std::size_t i = 0; i < values; ++i) line += "\"q" + std::to_string(i % 10) + "\"";
             return line;
         },
         "q9"},
        {"quoted values holding spaces",
         [](std::size_t values) {
             std::string line = "Key";
             for (std::size_t i = 0; i < values; ++i) line += " \"a b" + std::to_string(i % 10) + "\"";
             return line;
         },
         "a b9"},
    };
    constexpr std::size_t kSmall = 20'000;
    constexpr std::size_t kLarge = 200'000;
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const auto bestLoadSeconds = [&shape](std::size_t values) {
            const std::string text = shape.line(values) + "\n";
            double best = 1e9;
            for (int run = 0; run < 3; ++run) {
                ConfigFile config;
                const auto start = std::chrono::steady_clock::now();
                config.loadText(text);
                const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
                best = std::min(best, elapsed.count());
                EXPECT_EQ(config.valueCount("Key"), static_cast<std::int32_t>(values));
                EXPECT_EQ(*config.getString("Key", static_cast<std::uint32_t>(values - 1)), shape.lastValue);
            }
            return best;
        };
        const double small = bestLoadSeconds(kSmall);
        const double large = bestLoadSeconds(kLarge);
        EXPECT_LT(large, 30 * small) << kLarge << " values took " << large << " s, " << kSmall << " took " << small
                                     << " s";
    }
}

}  // namespace
}  // namespace varn
