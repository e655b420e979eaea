#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "metrics/MetricsText.h"
#include "metrics/ServerMetrics.h"
#include "net/TrafficCounters.h"
#include "protocol/ServerVersion.h"

namespace varn {
namespace {

using Type = MetricsText::Type;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

// Sample lines by everything before the value (name and labels).
std::map<std::string, double> samplesOf(const std::string& text) {
    std::map<std::string, double> samples;
    for (const std::string& line : linesOf(text)) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t space = line.rfind(' ');
        samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return samples;
}

TEST(MetricsTextTest, LabelValuesAreEscapedAndNamesShownPrintable) {
    struct Case {
        std::string value;
        std::string shown;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"back\\slash", "back\\\\slash"},
        {"a \"quoted\" name", "a \\\"quoted\\\" name"},
        {"two\nlines", "two\\nlines"},
        {"\\\"\n", "\\\\\\\"\\n"},
    };
    for (const Case& testCase : cases) {
        MetricsText text;
        text.family("varn_test", Type::Gauge, "A test.");
        text.sample({"name", testCase.value}, std::uint64_t{1});
        EXPECT_EQ(text.text(), "# HELP varn_test A test.\n# TYPE varn_test gauge\nvarn_test{name=\"" + testCase.shown +
                                   "\"} 1\n")
            << testCase.value;
    }
    // The server's name: control bytes and bytes above 0x7E become '?', the rest is escaped.
    const std::string name = MetricsText::printable(std::string("Caf\xC3\xA9 \"Q\"\t\\\n\x7F~ ", 15));
    EXPECT_EQ(name, "Caf?? \"Q\"?\\??~ ");
    std::string escaped;
    MetricsText::appendLabelValue(escaped, name);
    EXPECT_EQ(escaped, "Caf?? \\\"Q\\\"?\\\\??~ ");
    // HELP text escapes backslash and line feed only.
    MetricsText help;
    help.family("varn_help", Type::Counter, "a \\ b\n\"c\"");
    EXPECT_EQ(linesOf(help.text()).front(), "# HELP varn_help a \\\\ b\\n\"c\"");
}

TEST(MetricsTextTest, EachNameIsOneFamilyAndHistogramsAreCumulative) {
    MetricsText text;
    EXPECT_TRUE(text.family("varn_a_total", Type::Counter, "First."));
    text.sample({"socket", "game"}, std::uint64_t{3});
    EXPECT_TRUE(text.family("varn_pass_seconds", Type::Histogram, "Passes."));
    const double bounds[] = {0.001, 0.01};
    const std::uint64_t counts[] = {5, 2, 1};
    text.histogram(bounds, counts, 0.5);
    EXPECT_FALSE(text.family("varn_a_total", Type::Counter, "Again."));
    text.sample({"socket", "admin"}, std::uint64_t{9});
    EXPECT_EQ(text.text(),
              "# HELP varn_a_total First.\n# TYPE varn_a_total counter\nvarn_a_total{socket=\"game\"} 3\n"
              "# HELP varn_pass_seconds Passes.\n# TYPE varn_pass_seconds histogram\n"
              "varn_pass_seconds_bucket{le=\"0.001\"} 5\nvarn_pass_seconds_bucket{le=\"0.01\"} 7\n"
              "varn_pass_seconds_bucket{le=\"+Inf\"} 8\nvarn_pass_seconds_sum 0.5\nvarn_pass_seconds_count 8\n");
}

// A bound is matched as label text: le="0.0001" must never come out as le="1e-04".
TEST(MetricsTextTest, HistogramBoundsAreWrittenInPlainDecimal) {
    const double bounds[] = {0.00005, 0.0001, 0.00025, 0.1, 2.5, 1e6, 1e-9};
    const char* const shown[] = {"0.00005", "0.0001", "0.00025", "0.1", "2.5", "1000000", "0.000000001"};
    MetricsText text;
    text.family("varn_h_seconds", Type::Histogram, "H.");
    const std::uint64_t counts[8] = {};
    text.histogram(bounds, counts, 0.0);
    const std::vector<std::string> lines = linesOf(text.text());
    for (std::size_t index = 0; index < std::size(shown); ++index) {
        EXPECT_EQ(lines.at(2 + index), std::string("varn_h_seconds_bucket{le=\"") + shown[index] + "\"} 0");
    }
    // The server's own histogram: every bound plain, from 50 us up.
    const std::string exposition = ServerMetrics(MetricsSources{}).render();
    EXPECT_NE(exposition.find("varn_loop_pass_duration_seconds_bucket{le=\"0.00005\"} "), std::string::npos);
    EXPECT_EQ(exposition.find("e-0"), std::string::npos) << exposition;
}

TEST(MetricsTextTest, PassDurationsFallInTheirBuckets) {
    PassDurations passes;
    for (const std::int64_t microseconds : {0, 50, 51, 10'000, 10'001, 2'000'000}) passes.observe(microseconds);
    const auto& counts = passes.counts();
    EXPECT_EQ(counts[0], 2u);   // <= 50 us
    EXPECT_EQ(counts[1], 1u);   // <= 100 us
    EXPECT_EQ(counts[7], 1u);   // <= 10 ms
    EXPECT_EQ(counts[8], 1u);   // <= 25 ms
    EXPECT_EQ(counts.back(), 1u);
    EXPECT_EQ(passes.sumMicroseconds(), 2'020'102u);
}

// The whole exposition: every family once with HELP and TYPE before its samples, each sample of a
// family that was declared, and counters that move by exactly what happened and never go back.
TEST(MetricsTextTest, ServerExpositionIsWellFormedAndCountersOnlyGrow) {
    TrafficCounters game;
    std::uint64_t repliesDropped = 0;
    std::size_t banEntries = 3;
    ServerMetrics metrics(MetricsSources{"My \"Server\"\n", 12, 1'700'000'000, [&game] { return game; }, {}, {},
                                         &repliesDropped, [&banEntries] { return banEntries; },
                                         [] { return std::uint64_t{2}; },
                                         [] {
                                             return std::map<std::string, std::uint64_t>{{"welcome.lua", 0},
                                                                                          {"top.lua", 1}};
                                         },
                                         [] { return std::int64_t{1'500'000}; }, [] { return std::uint64_t{3}; }});
    const std::string before = metrics.render();

    GameCounters& counters = metrics.gameCounters();
    counters.onJoinRefused(JoinRefused{"127.0.0.1", "x", JoinRefusal::ServerFull});
    counters.onJoinRefused(JoinRefused{"127.0.0.1", "x", JoinRefusal::ServerFull});
    counters.onJoinRefused(JoinRefused{"127.0.0.1", "", JoinRefusal::Banned});
    counters.onWrongPassword(WrongPasswordGiven{"127.0.0.1", PasswordKind::AdminLogin});
    counters.onBanAdded(BanAdded{"127.0.0.1", Actor{}, true});
    counters.onAdministratorLoggedIn(AdministratorLoggedIn{1, "admin", "127.0.0.1"});
    metrics.passDurations().observe(20'000);
    game.datagramsReceived += 5;
    game.datagramsDropped += 2;
    repliesDropped = 4;
    banEntries = 4;
    const std::string after = metrics.render();

    std::set<std::string> families;
    std::set<std::string> typed;
    for (const std::string& line : linesOf(after)) {
        if (line.rfind("# HELP ", 0) == 0) {
            const std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(families.insert(name).second) << "family twice: " << name;
        } else if (line.rfind("# TYPE ", 0) == 0) {
            typed.insert(line.substr(7, line.find(' ', 7) - 7));
        } else {
            const std::string name = line.substr(0, line.find_first_of("{ "));
            const bool declared = typed.count(name) > 0 ||
                                  typed.count(name.substr(0, name.rfind('_'))) > 0;  // _bucket, _sum, _count
            EXPECT_TRUE(declared) << "sample before its family: " << line;
        }
    }
    EXPECT_EQ(families, typed);

    const auto first = samplesOf(before);
    const auto second = samplesOf(after);
    for (const auto& [sample, value] : first) {
        ASSERT_TRUE(second.count(sample)) << sample;
        const bool isCounter = sample.find("_total") != std::string::npos || sample.find("_bucket") != std::string::npos ||
                               sample.find("_count") != std::string::npos;
        if (isCounter) {
            EXPECT_GE(second.at(sample), value) << sample;
        }
    }
    EXPECT_EQ(second.at("varn_server_info{name=\"My \\\"Server\\\"?\"}"), 1);
    EXPECT_EQ(second.at("varn_players_max"), 12);
    EXPECT_EQ(second.at("varn_joins_refused_total{reason=\"server_full\"}"), 2);
    EXPECT_EQ(second.at("varn_joins_refused_total{reason=\"banned\"}"), 1);
    EXPECT_EQ(second.at("varn_joins_refused_total{reason=\"too_soon\"}"), 0);
    EXPECT_EQ(second.at("varn_wrong_passwords_total{kind=\"admin\"}"), 1);
    EXPECT_EQ(second.at("varn_bans_added_total"), 1);
    EXPECT_EQ(second.at("varn_bans"), 4);
    EXPECT_EQ(second.at("varn_datagrams_received_total{socket=\"game\"}"), 5);
    EXPECT_EQ(second.at("varn_datagrams_send_limit_dropped_total{socket=\"game\"}"), 2);
    EXPECT_EQ(second.at("varn_datagrams_received_total{socket=\"browser\"}"), 0);
    EXPECT_EQ(second.at("varn_query_replies_dropped_total"), 4);
    EXPECT_EQ(second.at("varn_administrators"), 1);
    EXPECT_EQ(second.at("varn_log_write_failures_total"), 2);
    EXPECT_EQ(second.at("varn_script_errors_total{script=\"top.lua\"}"), 1);
    EXPECT_EQ(second.at("varn_script_errors_total{script=\"welcome.lua\"}"), 0);
    EXPECT_EQ(second.at("varn_ban_file_save_failures_total"), 3);
    EXPECT_EQ(second.at("varn_build_info{version=\"" + std::string(kServerVersion) + "\"}"), 1);
    EXPECT_DOUBLE_EQ(second.at("varn_script_seconds_total"), 0.0015);
    EXPECT_EQ(second.at("varn_loop_pass_duration_seconds_bucket{le=\"0.01\"}"), 0);
    EXPECT_EQ(second.at("varn_loop_pass_duration_seconds_bucket{le=\"0.025\"}"), 1);
    EXPECT_EQ(second.at("varn_loop_pass_duration_seconds_count"), 1);
    EXPECT_EQ(second.at("process_start_time_seconds"), 1'700'000'000);
    EXPECT_GT(second.at("process_resident_memory_bytes"), 0);
}

}  // namespace
}  // namespace varn
