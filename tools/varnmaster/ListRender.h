#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ServerList.h"

namespace varn::master {

// A text a server sent, made fit to show: kept when it is UTF-8, otherwise read as Latin-1 byte by
// byte; control characters become U+FFFD. What comes out is always valid UTF-8.
std::string displayText(std::string_view bytes);

// The listed servers that have answered, sorted by address and port.
std::vector<const Listed*> answeredServers(const ServerList& list);

// One server's entry, as ServerList keeps it (its Describe).
std::string entryJson(const Listed& server);

// {"servers": [...]} with every entry the README's schema describes: the entries each server keeps,
// put together (an entry not kept yet is written now).
std::string serversJson(const ServerList& list);
// One entry, or nothing when that server is not listed.
std::string serverJson(const ServerList& list, ServerKey key, bool& found);

// How the HTML page shows the list, from its query: sort=players|name, q=text, full=hide,
// password=hide.
struct PageView {
    enum class Sort : std::uint8_t { players, name };
    Sort sort = Sort::players;
    std::string filter;
    bool hideFull = false;
    bool hidePassworded = false;
};
PageView pageViewFromQuery(std::string_view query);
// The server browser: a plain HTML table and a form, usable without JavaScript; every text a server
// sent escaped.
std::string serversHtml(const ServerList& list, const PageView& view, std::string_view title);

// The master's Prometheus exposition.
std::string masterMetrics(const ServerList& list, std::uint64_t httpRequests);

// A quoted entity tag for a body.
std::string entityTag(std::string_view body);

}  // namespace varn::master
