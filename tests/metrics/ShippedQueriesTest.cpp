#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "metrics/ServerMetrics.h"

namespace varn {
namespace {

// Every name a scrape can show: each family, and for a histogram its _bucket, _sum and _count series.
std::set<std::string> exportedNames() {
    MetricsSources sources;
    sources.logWriteFailures = [] { return std::uint64_t{0}; };
    sources.scriptErrors = [] { return std::map<std::string, std::uint64_t>{{"welcome.lua", 0}}; };
    sources.scriptNanoseconds = [] { return std::int64_t{0}; };
    const std::string text = ServerMetrics(std::move(sources)).render();
    std::set<std::string> names;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# TYPE ", 0) != 0) continue;
        std::istringstream words(line.substr(7));
        std::string name;
        std::string type;
        words >> name >> type;
        names.insert(name);
        if (type == "histogram") {
            for (const char* suffix : {"_bucket", "_sum", "_count"}) names.insert(name + suffix);
        }
    }
    return names;
}

std::string fileText(const std::string& relativePath) {
    std::ifstream file(std::string(VARN_SOURCE_DIR) + "/" + relativePath);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The server's metric names a query uses (the up series of Prometheus itself is not one). Read by
// hand: the sanitizer build's compiler warns inside the standard regular expressions.
std::vector<std::string> namesIn(const std::string& query) {
    const auto isNameByte = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; };
    const auto isWordByte = [&](char c) { return isNameByte(c) || (c >= 'A' && c <= 'Z'); };
    std::vector<std::string> found;
    std::size_t at = 0;
    while (at < query.size()) {
        if (!isWordByte(query[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < query.size() && isWordByte(query[end])) ++end;
        const std::string word = query.substr(at, end - at);
        const bool ours = word.rfind("varn_", 0) == 0 || word.rfind("process_", 0) == 0;
        std::size_t nameEnd = 0;
        while (nameEnd < word.size() && isNameByte(word[nameEnd])) ++nameEnd;
        if (ours && nameEnd > word.find('_') + 1) found.push_back(word.substr(0, nameEnd));
        at = end;
    }
    return found;
}

void collectQueries(const nlohmann::json& node, std::vector<std::string>& queries) {
    if (node.is_object()) {
        for (const auto& [key, value] : node.items()) {
            if ((key == "expr" || key == "definition") && value.is_string()) queries.push_back(value.get<std::string>());
            collectQueries(value, queries);
        }
    } else if (node.is_array()) {
        for (const auto& element : node) collectQueries(element, queries);
    }
}

// The shipped dashboard and alert rules query only names the server exports, so a rename cannot leave
// a panel or an alert silently empty.
TEST(ShippedQueriesTest, DashboardAndRulesNameOnlyExportedMetrics) {
    const std::set<std::string> exported = exportedNames();
    ASSERT_TRUE(exported.count("varn_build_info"));

    const std::string dashboardText = fileText("packaging/grafana/varnserver-dashboard.json");
    ASSERT_FALSE(dashboardText.empty());
    const nlohmann::json dashboard = nlohmann::json::parse(dashboardText);
    std::vector<std::string> queries;
    collectQueries(dashboard, queries);
    ASSERT_GE(queries.size(), 10u);
    std::set<std::string> shown;
    for (const std::string& query : queries) {
        const std::vector<std::string> names = namesIn(query);
        EXPECT_FALSE(names.empty()) << "a query that names no metric of the server: " << query;
        for (const std::string& name : names) {
            EXPECT_TRUE(exported.count(name)) << name << " in the dashboard's query " << query;
            shown.insert(name);
        }
        // Panels tell the servers apart by the label the scrape configuration gives.
        EXPECT_NE(query.find("server"), std::string::npos) << query;
    }
    // Every family is on some panel (a histogram through its buckets).
    for (const std::string& name : exported) {
        const bool histogramPart = name.ends_with("_sum") || name.ends_with("_count") ||
                                   (exported.count(name + "_bucket") && shown.count(name + "_bucket"));
        EXPECT_TRUE(shown.count(name) || histogramPart) << name << " is on no panel of the dashboard";
    }

    const std::string rules = fileText("packaging/prometheus/varnserver.rules.yml");
    const std::vector<std::string> ruleNames = namesIn(rules);
    EXPECT_GE(ruleNames.size(), 3u);
    for (const std::string& name : ruleNames) EXPECT_TRUE(exported.count(name)) << name << " in the alert rules";
}

}  // namespace
}  // namespace varn
