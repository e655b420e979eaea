#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "ListRender.h"

namespace varn::master {
namespace {

TEST(ListRenderTest, ServerTextsBecomeValidUtf8) {
    struct Case {
        std::string bytes;
        std::string shown;
    };
    const Case cases[] = {
        {"Plain", "Plain"},
        {"Caf\xC3\xA9", "Caf\xC3\xA9"},                   // UTF-8 kept
        {"Caf\xE9", "Caf\xC3\xA9"},                       // Latin-1 read as such
        {"a\xC3\xA9 \xE9", "a\xC3\x83\xC2\xA9 \xC3\xA9"},  // not UTF-8 as a whole: every byte Latin-1
        {"tab\there", "tab\xEF\xBF\xBDhere"},             // control characters replaced
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xEF\xBF\xBD"},  // an encoded surrogate is no UTF-8; 0x80 is a control
        {"", ""},
    };
    for (const Case& testCase : cases) EXPECT_EQ(displayText(testCase.bytes), testCase.shown) << testCase.bytes;
}

TEST(ListRenderTest, PageQueriesAndEscapedMarkup) {
    const PageView view = pageViewFromQuery("sort=name&q=%3Cscript%3E+x&full=hide&password=hide&junk=%zz");
    EXPECT_EQ(view.sort, PageView::Sort::name);
    EXPECT_EQ(view.filter, "<script> x");
    EXPECT_TRUE(view.hideFull);
    EXPECT_TRUE(view.hidePassworded);
    EXPECT_EQ(pageViewFromQuery("").sort, PageView::Sort::players);

    MasterSettings settings;
    ServerList empty(settings, [](std::span<std::uint8_t> bytes) { std::fill(bytes.begin(), bytes.end(), 1); });
    const std::string html = serversHtml(empty, view, "A \"title\" <b>");
    EXPECT_NE(html.find("<title>A &quot;title&quot; &lt;b&gt;</title>"), std::string::npos);
    EXPECT_NE(html.find("value=\"&lt;script&gt; x\""), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    const auto json = nlohmann::json::parse(serversJson(empty));
    EXPECT_EQ(json, nlohmann::json::parse(R"({"servers": []})"));
    EXPECT_NE(entityTag("a"), entityTag("b"));
    EXPECT_EQ(entityTag("a").front(), '"');
}

}  // namespace
}  // namespace varn::master
