#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "adminclient/AdminConnection.h"

namespace varnweb {

// What the last action came to, shown once on the next page.
struct Notice {
    enum class Kind : std::uint8_t { done, refused };
    Kind kind = Kind::done;
    std::string text;
};

// One line of the live view: chat, a kill or death, a join or a leave.
struct FeedLine {
    std::uint64_t sequence = 0;
    std::string text;
};

// What every page of a logged-in administrator shows.
struct ConsoleView {
    std::string server;
    std::string adminName;
    std::string csrf;
    std::optional<Notice> notice;
};

// Every text that came from the game or a visitor goes through escapeHtml; no page carries a script
// or a style of its own (the policy forbids inline ones): they come from /console.js and /console.css.
std::string loginPage(const std::string& server, const std::optional<Notice>& notice, const std::string& name);
std::string consolePage(const ConsoleView& view, const std::map<int, varnadmin::Player>& players,
                        const std::deque<FeedLine>& feed);
// The ban list's lines that hold query, one page of them (pages counted from 0).
std::string bansPage(const ConsoleView& view, const std::vector<std::string>& lines, const std::string& query,
                     std::size_t page);
std::string confirmShutdownPage(const ConsoleView& view);

inline constexpr std::size_t kBansPerPage = 20;

}  // namespace varnweb
