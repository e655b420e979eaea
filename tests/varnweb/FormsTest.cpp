#include <gtest/gtest.h>

#include "varnweb/Forms.h"

namespace varnweb {
namespace {

TEST(Forms, DecodesFieldsAndRefusesWhatCannotBeRead) {
    struct Case {
        const char* body;
        bool readable;
        std::map<std::string, std::string, std::less<>> fields;
    };
    const Case cases[] = {
        {"name=ops&password=a+b%21", true, {{"name", "ops"}, {"password", "a b!"}}},
        {"text=%3Cimg%20src%3Dx%3E&&empty=", true, {{"text", "<img src=x>"}, {"empty", ""}}},
        // The first of two values counts: a second csrf field cannot replace the first.
        {"csrf=right&csrf=wrong", true, {{"csrf", "right"}}},
        {"flag", true, {{"flag", ""}}},
        {"bad=%4", false, {}},
        {"bad=%zz", false, {}},
        {"nul=a%00b", false, {}},
    };
    for (const Case& test : cases) {
        const auto form = parseForm(test.body);
        ASSERT_EQ(form.has_value(), test.readable) << test.body;
        if (form) {
            EXPECT_EQ(*form, test.fields) << test.body;
        }
    }
}

TEST(Forms, FindsACookieByItsWholeName) {
    const std::string header = "theme=dark; varnweb_session_old=x; varnweb_session=abc123; other=1";
    EXPECT_EQ(cookieValue(header, "varnweb_session"), "abc123");
    EXPECT_EQ(cookieValue(header, "theme"), "dark");
    EXPECT_EQ(cookieValue(header, "session"), "");
    EXPECT_EQ(cookieValue("", "varnweb_session"), "");
}

TEST(Forms, EscapesEveryCharacterThatCouldOpenMarkupOrEndAnAttribute) {
    EXPECT_EQ(escapeHtml("<img src=x onerror=alert(1)>"), "&lt;img src=x onerror=alert(1)&gt;");
    EXPECT_EQ(escapeHtml("a\"b'c&d"), "a&quot;b&#39;c&amp;d");
    EXPECT_EQ(escapeHtml("plain"), "plain");
}

TEST(Forms, TokensAreRandomHexOfTheAskedLength) {
    const std::string first = randomToken(32);
    const std::string second = randomToken(32);
    EXPECT_EQ(first.size(), 64u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(first, second);
    EXPECT_TRUE(sameText(first, first));
    EXPECT_FALSE(sameText(first, second));
    EXPECT_FALSE(sameText(first, first.substr(1)));
}

}  // namespace
}  // namespace varnweb
