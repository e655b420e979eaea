#include "ListRender.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "metrics/MetricsText.h"

namespace varn::master {

namespace {

using Json = nlohmann::json;

// The length of the UTF-8 sequence at the start of text, or 0 when none starts there.
std::size_t utf8SequenceLength(std::string_view text) {
    const auto first = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    std::uint32_t lowest = 0;
    if (first < 0x80) return 1;
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
        lowest = 0x80;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        lowest = 0x800;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    std::uint32_t code = first & (0x7Fu >> length);
    for (std::size_t index = 1; index < length; ++index) {
        const auto next = static_cast<unsigned char>(text[index]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3Fu);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

bool isUtf8(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length = utf8SequenceLength(text);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

void appendCodePoint(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

constexpr std::uint32_t kReplacement = 0xFFFD;

void appendHtml(std::string& out, std::string_view text) {
    for (const char letter : text) {
        switch (letter) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += letter;
        }
    }
}

std::string lowerAscii(std::string_view text) {
    std::string lowered(text);
    for (char& letter : lowered) {
        if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
    }
    return lowered;
}

// %XX and '+' of a form's query decoded; a broken escape is kept as written.
std::string formDecode(std::string_view text) {
    std::string decoded;
    for (std::size_t index = 0; index < text.size(); ++index) {
        const char letter = text[index];
        if (letter == '+') {
            decoded += ' ';
        } else if (letter == '%' && index + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[index + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[index + 2]))) {
            decoded += static_cast<char>(std::stoi(std::string(text.substr(index + 1, 2)), nullptr, 16));
            index += 2;
        } else {
            decoded += letter;
        }
    }
    return decoded;
}

Json entryOf(const Listed& server) {
    const browser::ServerStatus& status = server.status;
    Json players = Json::array();
    for (const browser::StatusPlayer& player : status.playerList) {
        players.push_back({{"name", displayText(player.name)}, {"score", player.score}, {"ping", player.ping}});
    }
    Json rules = Json::array();
    for (const auto& [key, value] : status.rules) {
        rules.push_back({{"key", displayText(key)}, {"value", displayText(value)}});
    }
    const std::string address = server.key.text();
    return Json{{"address", address.substr(0, address.find(':'))},
                {"gamePort", status.gamePort},
                {"queryPort", server.key.port},
                {"name", displayText(status.serverName)},
                {"gameType", displayText(status.gameType)},
                {"map", displayText(status.mapName)},
                {"version", displayText(status.version)},
                {"password", status.password},
                {"players", status.players},
                {"maxPlayers", status.maxPlayers},
                {"rules", std::move(rules)},
                {"playerList", std::move(players)},
                {"firstSeen", server.firstSeen},
                {"lastSeen", server.lastSeen}};
}

std::string dumped(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace

std::string displayText(std::string_view bytes) {
    std::string shown;
    shown.reserve(bytes.size());
    const bool utf8 = isUtf8(bytes);
    while (!bytes.empty()) {
        const auto first = static_cast<unsigned char>(bytes[0]);
        if (utf8) {
            const std::size_t length = utf8SequenceLength(bytes);
            if (length == 1 && (first < 0x20 || first == 0x7F)) {
                appendCodePoint(shown, kReplacement);
            } else {
                shown.append(bytes.substr(0, length));
            }
            bytes.remove_prefix(length);
            continue;
        }
        appendCodePoint(shown, first < 0x20 || (first >= 0x7F && first < 0xA0) ? kReplacement : first);
        bytes.remove_prefix(1);
    }
    return shown;
}

std::vector<const Listed*> answeredServers(const ServerList& list) {
    std::vector<const Listed*> servers;
    servers.reserve(list.listed().size());
    for (const auto& [packed, server] : list.listed()) {
        if (server.answered) servers.push_back(&server);
    }
    std::sort(servers.begin(), servers.end(),
              [](const Listed* left, const Listed* right) { return left->key.packed() < right->key.packed(); });
    return servers;
}

std::string entryJson(const Listed& server) { return dumped(entryOf(server)); }

std::string serversJson(const ServerList& list) {
    const std::vector<const Listed*> servers = answeredServers(list);
    std::size_t size = 32;
    for (const Listed* server : servers) size += server->json.size() + 1;
    std::string json;
    json.reserve(size);
    // Each entry is a whole JSON value made by the library; only the list's frame is written here.
    json += "{\"servers\":[";
    bool first = true;
    for (const Listed* server : servers) {
        if (!first) json += ',';
        first = false;
        json += server->json.empty() ? entryJson(*server) : server->json;
    }
    json += "]}\n";
    return json;
}

std::string serverJson(const ServerList& list, ServerKey key, bool& found) {
    const auto entry = list.listed().find(key.packed());
    found = entry != list.listed().end() && entry->second.answered;
    if (!found) return {};
    return dumped(entryOf(entry->second)) + "\n";
}

PageView pageViewFromQuery(std::string_view query) {
    PageView view;
    while (!query.empty()) {
        const std::size_t amp = std::min(query.find('&'), query.size());
        const std::string_view pair = query.substr(0, amp);
        query.remove_prefix(std::min(amp + 1, query.size()));
        const std::size_t equals = std::min(pair.find('='), pair.size());
        const std::string name(pair.substr(0, equals));
        const std::string value = formDecode(pair.substr(std::min(equals + 1, pair.size())));
        if (name == "sort") view.sort = value == "name" ? PageView::Sort::name : PageView::Sort::players;
        if (name == "q") view.filter = value.substr(0, 100);
        if (name == "full") view.hideFull = value == "hide";
        if (name == "password") view.hidePassworded = value == "hide";
    }
    return view;
}

std::string serversHtml(const ServerList& list, const PageView& view, std::string_view title) {
    std::vector<const Listed*> servers = answeredServers(list);
    const std::string filter = lowerAscii(view.filter);
    std::erase_if(servers, [&](const Listed* server) {
        const browser::ServerStatus& status = server->status;
        if (view.hideFull && status.maxPlayers > 0 && status.players >= status.maxPlayers) return true;
        if (view.hidePassworded && status.password) return true;
        if (!filter.empty() && lowerAscii(displayText(status.serverName)).find(filter) == std::string::npos &&
            lowerAscii(displayText(status.mapName)).find(filter) == std::string::npos) {
            return true;
        }
        return false;
    });
    std::stable_sort(servers.begin(), servers.end(), [&](const Listed* left, const Listed* right) {
        if (view.sort == PageView::Sort::name) return lowerAscii(left->status.serverName) < lowerAscii(right->status.serverName);
        return left->status.players > right->status.players;
    });
    std::size_t players = 0;
    for (const Listed* server : servers) players += static_cast<std::size_t>(std::max(0, server->status.players));

    std::string html;
    html.reserve(1024 + servers.size() * 512);
    html += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
    appendHtml(html, title);
    html += "</title>\n<style>\n"
            "body{font-family:sans-serif;margin:1.5em;background:#f7f7f5;color:#222}\n"
            "table{border-collapse:collapse;width:100%;background:#fff}\n"
            "th,td{border:1px solid #ccc;padding:.3em .5em;text-align:left;vertical-align:top}\n"
            "th{background:#e8e8e4}td.n{text-align:right}\n"
            "details summary{cursor:pointer}form{margin:1em 0}\n"
            "</style>\n</head>\n<body>\n<h1>";
    appendHtml(html, title);
    html += "</h1>\n<p>" + std::to_string(servers.size()) + " servers, " + std::to_string(players) +
            " players. <a href=\"/servers.json\">JSON</a></p>\n"
            "<form method=\"get\" action=\"/\">\n<label>Filter <input type=\"search\" name=\"q\" value=\"";
    appendHtml(html, view.filter);
    html += "\"></label>\n<label>Sort <select name=\"sort\">"
            "<option value=\"players\"";
    if (view.sort == PageView::Sort::players) html += " selected";
    html += ">players</option><option value=\"name\"";
    if (view.sort == PageView::Sort::name) html += " selected";
    html += ">name</option></select></label>\n<label><input type=\"checkbox\" name=\"full\" value=\"hide\"";
    if (view.hideFull) html += " checked";
    html += "> hide full</label>\n<label><input type=\"checkbox\" name=\"password\" value=\"hide\"";
    if (view.hidePassworded) html += " checked";
    html += "> hide passworded</label>\n<button type=\"submit\">Show</button>\n</form>\n"
            "<table>\n<thead><tr><th>Name</th><th>Players</th><th>Map</th><th>Address</th><th>Version</th>"
            "<th>Password</th></tr></thead>\n<tbody>\n";
    for (const Listed* server : servers) {
        const browser::ServerStatus& status = server->status;
        html += "<tr><td>";
        if (status.playerList.empty()) {
            appendHtml(html, displayText(status.serverName));
        } else {
            html += "<details><summary>";
            appendHtml(html, displayText(status.serverName));
            html += "</summary><ul>";
            for (const browser::StatusPlayer& player : status.playerList) {
                html += "<li>";
                appendHtml(html, displayText(player.name));
                html += " (score " + std::to_string(player.score) + ", ping " + std::to_string(player.ping) + ")</li>";
            }
            html += "</ul></details>";
        }
        html += "</td><td class=\"n\">" + std::to_string(status.players) + " / " + std::to_string(status.maxPlayers) +
                "</td><td>";
        appendHtml(html, displayText(status.mapName));
        const std::string address = server->key.text();
        html += "</td><td>" + address.substr(0, address.find(':')) + ":" + std::to_string(status.gamePort) + "</td><td>";
        appendHtml(html, displayText(status.version));
        html += std::string("</td><td>") + (status.password ? "yes" : "no") + "</td></tr>\n";
    }
    html += "</tbody>\n</table>\n</body>\n</html>\n";
    return html;
}

std::string masterMetrics(const ServerList& list, std::uint64_t httpRequests) {
    const ListCounters& counters = list.counters();
    MetricsText text;
    std::uint64_t players = 0;
    std::uint64_t answered = 0;
    for (const auto& [packed, server] : list.listed()) {
        if (!server.answered) continue;
        ++answered;
        players += static_cast<std::uint64_t>(std::max(0, server.status.players));
    }
    text.family("varnmaster_servers_listed", MetricsText::Type::Gauge, "Verified servers that answered their last poll.");
    text.sample(answered);
    text.family("varnmaster_servers_verified", MetricsText::Type::Gauge, "Verified servers, listed or still to answer.");
    text.sample(static_cast<std::uint64_t>(list.listed().size()));
    text.family("varnmaster_servers_pending", MetricsText::Type::Gauge, "Verifications under way.");
    text.sample(static_cast<std::uint64_t>(list.pendingCount()));
    text.family("varnmaster_players", MetricsText::Type::Gauge, "Players on the listed servers.");
    text.sample(players);
    text.family("varnmaster_heartbeats_total", MetricsText::Type::Counter, "Heartbeats received.");
    text.sample(counters.heartbeats);
    text.family("varnmaster_challenges_total", MetricsText::Type::Counter, "Challenges by outcome.");
    text.sample({"outcome", "sent"}, counters.challengesSent);
    text.sample({"outcome", "passed"}, counters.challengesPassed);
    text.sample({"outcome", "failed"}, counters.challengesFailed);
    text.sample({"outcome", "timed_out"}, counters.challengesTimedOut);
    text.family("varnmaster_polls_total", MetricsText::Type::Counter, "Status polls by outcome.");
    text.sample({"outcome", "sent"}, counters.pollsSent);
    text.sample({"outcome", "answered"}, counters.pollsAnswered);
    text.sample({"outcome", "failed"}, counters.pollsFailed);
    text.family("varnmaster_dropped_total", MetricsText::Type::Counter, "Datagrams and servers dropped, by reason.");
    for (std::size_t index = 0; index < counters.drops.size(); ++index) {
        text.sample({"reason", dropName(static_cast<Drop>(index))}, counters.drops[index]);
    }
    text.family("varnmaster_sent_datagrams_total", MetricsText::Type::Counter, "Datagrams sent, by kind.");
    text.sample({"kind", "challenge"}, list.challengeBudget().datagramsTaken());
    text.sample({"kind", "poll"}, list.pollBudget().datagramsTaken());
    text.family("varnmaster_sent_bytes_total", MetricsText::Type::Counter, "Bytes sent, by kind.");
    text.sample({"kind", "challenge"}, list.challengeBudget().bytesTaken());
    text.sample({"kind", "poll"}, list.pollBudget().bytesTaken());
    text.family("varnmaster_http_requests_total", MetricsText::Type::Counter, "HTTP requests answered.");
    text.sample(httpRequests);
    return text.text();
}

std::string entityTag(std::string_view body) {
    // FNV-1a, 64 bits: a change of the body changes the tag.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char letter : body) {
        hash ^= static_cast<unsigned char>(letter);
        hash *= 0x100000001b3ULL;
    }
    char text[24];
    std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace varn::master
