#include "varnweb/Pages.h"

#include <algorithm>

#include "varnweb/Forms.h"

namespace varnweb {

namespace {

std::string head(const std::string& title) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>" + escapeHtml(title) + "</title>"
           "<link rel=\"stylesheet\" href=\"/console.css\">"
           "<script src=\"/console.js\" defer></script></head>\n";
}

std::string noticeBlock(const std::optional<Notice>& notice) {
    if (!notice) return "<p id=\"notice\" hidden></p>\n";
    const char* kind = notice->kind == Notice::Kind::done ? "done" : "refused";
    return std::string("<p id=\"notice\" class=\"") + kind + "\" role=\"status\">" + escapeHtml(notice->text) +
           "</p>\n";
}

std::string csrfField(const std::string& csrf) {
    return "<input type=\"hidden\" name=\"csrf\" value=\"" + escapeHtml(csrf) + "\">";
}

std::string topBar(const ConsoleView& view) {
    return "<header><h1>Varn Server console</h1><p>Server <span id=\"server\">" + escapeHtml(view.server) +
           "</span>, logged in as <strong id=\"admin-name\">" + escapeHtml(view.adminName) +
           "</strong></p><nav><a href=\"/\">Players and live view</a> <a href=\"/bans\">Ban list</a>"
           "<form method=\"post\" action=\"/logout\">" + csrfField(view.csrf) +
           "<button type=\"submit\">Log out</button></form></nav></header>\n";
}

// The forms of one player's row; the live view copies the template of them for new players.
std::string playerActions(const std::string& csrf, const std::string& id) {
    return "<td class=\"actions\"><form method=\"post\" action=\"/kick\">" + csrfField(csrf) +
           "<input type=\"hidden\" name=\"id\" value=\"" + id + "\"><button type=\"submit\">Kick</button></form>"
           "<form method=\"post\" action=\"/ban\">" + csrfField(csrf) +
           "<input type=\"hidden\" name=\"id\" value=\"" + id + "\">"
           "<input name=\"minutes\" type=\"number\" min=\"1\" max=\"5256000\" value=\"60\" aria-label=\"minutes\" "
           "class=\"minutes\"> min <input name=\"reason\" maxlength=\"120\" placeholder=\"reason\" aria-label=\"reason\">"
           "<button type=\"submit\">Ban</button></form></td>";
}

std::string playerRow(const std::string& csrf, const varnadmin::Player& player) {
    const std::string id = std::to_string(player.id);
    return "<tr data-player=\"" + id + "\"><td class=\"id\">" + id + "</td><td class=\"name\">" +
           escapeHtml(player.name) + "</td><td class=\"score\">" + std::to_string(player.score) + "</td>" +
           playerActions(csrf, id) + "</tr>\n";
}

}  // namespace

std::string loginPage(const std::string& server, const std::optional<Notice>& notice, const std::string& name) {
    return head("Log in: Varn Server console") +
           "<body class=\"login\"><main><h1>Varn Server console</h1><p>Server " + escapeHtml(server) + "</p>\n" +
           noticeBlock(notice) +
           "<form method=\"post\" action=\"/login\" id=\"login\">"
           "<label>Administrator name <input name=\"name\" id=\"name\" maxlength=\"13\" required "
           "autocomplete=\"username\" value=\"" + escapeHtml(name) + "\"></label>"
           "<label>Administrators' password <input name=\"password\" id=\"password\" type=\"password\" required "
           "autocomplete=\"current-password\"></label>"
           "<button type=\"submit\">Log in</button></form></main></body></html>\n";
}

std::string consolePage(const ConsoleView& view, const std::map<int, varnadmin::Player>& players,
                        const std::deque<FeedLine>& feed) {
    std::string page = head("Varn Server console") + "<body data-live=\"/events\">\n" + topBar(view) + "<main>\n" +
                       noticeBlock(view.notice);
    page += "<section><h2>Players (<span id=\"player-count\">" + std::to_string(players.size()) +
            "</span>)</h2><table id=\"players\"><thead><tr><th>ID</th><th>Name</th><th>Score</th><th>Actions</th>"
            "</tr></thead><tbody>\n";
    for (const auto& [_, player] : players) page += playerRow(view.csrf, player);
    page += "</tbody></table><template id=\"player-row\"><tr><td class=\"id\"></td><td class=\"name\"></td>"
            "<td class=\"score\"></td>" + playerActions(view.csrf, "") + "</tr></template></section>\n";
    page += "<section><h2>Live</h2><noscript><p>Without JavaScript the list and the lines below are as of this "
            "page's loading: <a href=\"/\">reload</a> for news.</p></noscript><ol id=\"feed\">\n";
    for (const FeedLine& line : feed) {
        page += "<li data-sequence=\"" + std::to_string(line.sequence) + "\">" + escapeHtml(line.text) + "</li>\n";
    }
    page += "</ol><form method=\"post\" action=\"/say\" id=\"say\">" + csrfField(view.csrf) +
            "<input name=\"text\" maxlength=\"126\" required aria-label=\"message to all\" placeholder=\"Say to all\">"
            "<button type=\"submit\">Say</button></form></section>\n";
    page += "<section><h2>Server</h2><div class=\"actions\">"
            "<form method=\"post\" action=\"/motd\">" + csrfField(view.csrf) +
            "<button type=\"submit\">Reload the message of the day</button></form>"
            "<form method=\"post\" action=\"/scripts\">" + csrfField(view.csrf) +
            "<button type=\"submit\">Reload scripts</button></form>"
            "<form method=\"post\" action=\"/password\">" + csrfField(view.csrf) +
            "<input name=\"password\" type=\"password\" maxlength=\"32\" required aria-label=\"new server password\" "
            "placeholder=\"New server password\" autocomplete=\"new-password\"><button type=\"submit\">Set server "
            "password</button></form>"
            "<form method=\"post\" action=\"/shutdown\">" + csrfField(view.csrf) +
            "<button type=\"submit\" class=\"danger\">Shut the server down…</button></form></div></section>\n";
    return page + "</main></body></html>\n";
}

std::string bansPage(const ConsoleView& view, const std::vector<std::string>& lines, const std::string& query,
                     std::size_t page) {
    std::vector<const std::string*> found;
    for (const std::string& line : lines) {
        if (line.find(query) != std::string::npos) found.push_back(&line);
    }
    const std::size_t pages = std::max<std::size_t>(1, (found.size() + kBansPerPage - 1) / kBansPerPage);
    page = std::min(page, pages - 1);
    std::string html = head("Ban list: Varn Server console") + "<body>\n" + topBar(view) + "<main>\n" +
                       noticeBlock(view.notice) +
                       "<section><h2>Ban list</h2><form method=\"get\" action=\"/bans\" id=\"search\">"
                       "<input name=\"q\" value=\"" + escapeHtml(query) + "\" aria-label=\"search\" "
                       "placeholder=\"Search\"><button type=\"submit\">Search</button></form>"
                       "<p id=\"ban-count\">" + std::to_string(found.size()) + " of " + std::to_string(lines.size()) +
                       " entries, page " + std::to_string(page + 1) + " of " + std::to_string(pages) + "</p>"
                       "<table id=\"bans\"><thead><tr><th>Entry and details</th><th></th></tr></thead><tbody>\n";
    const std::size_t first = page * kBansPerPage;
    for (std::size_t index = first; index < std::min(found.size(), first + kBansPerPage); ++index) {
        const std::string& line = *found[index];
        const std::string entry = line.substr(0, line.find(' '));
        html += "<tr><td class=\"ban\">" + escapeHtml(line) + "</td><td><form method=\"post\" action=\"/unban\">" +
                csrfField(view.csrf) + "<input type=\"hidden\" name=\"entry\" value=\"" + escapeHtml(entry) +
                "\"><button type=\"submit\">Unban</button></form></td></tr>\n";
    }
    html += "</tbody></table><p class=\"pages\">";
    const std::string search = "q=" + escapeHtml(query);
    if (page > 0) html += "<a rel=\"prev\" href=\"/bans?" + search + "&amp;page=" + std::to_string(page) + "\">Previous</a> ";
    if (page + 1 < pages) html += "<a rel=\"next\" href=\"/bans?" + search + "&amp;page=" + std::to_string(page + 2) + "\">Next</a>";
    html += "</p><form method=\"post\" action=\"/addban\">" + csrfField(view.csrf) +
            "<input name=\"entry\" maxlength=\"18\" required placeholder=\"10.1.2.3 or 10.0.0.0/8\" "
            "aria-label=\"entry\"><input name=\"minutes\" type=\"number\" min=\"0\" value=\"0\" aria-label=\"minutes\" "
            "class=\"minutes\"> min (0: for ever) <input name=\"reason\" maxlength=\"120\" placeholder=\"reason\" "
            "aria-label=\"reason\"><button type=\"submit\">Add ban</button></form></section>\n";
    return html + "</main></body></html>\n";
}

std::string confirmShutdownPage(const ConsoleView& view) {
    return head("Shut down? Varn Server console") + "<body>\n" + topBar(view) +
           "<main><section><h2>Shut the server down?</h2><p>Every player is disconnected and the server stops "
           "until it is started again.</p><form method=\"post\" action=\"/shutdown\" id=\"confirm-shutdown\">" +
           csrfField(view.csrf) + "<input type=\"hidden\" name=\"confirm\" value=\"yes\">"
           "<button type=\"submit\" class=\"danger\">Yes, shut it down</button> <a href=\"/\">No, back</a>"
           "</form></section></main></body></html>\n";
}

}  // namespace varnweb
