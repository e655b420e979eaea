#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "Database.h"

namespace varnstats {

struct ReportOptions {
    std::string outputDirectory;
    std::string title = "Server statistics";
    // Write the report's own time on the pages (off: the same data gives the same bytes).
    bool generatedAt = false;
    // One server's pages (its name, port or "name:port"); nothing: every server's.
    std::optional<std::string> server;
};

struct ReportResult {
    std::optional<std::string> error;
    std::size_t pages = 0;
    std::size_t players = 0;
};

// Writes the site: index.html (overview), leaderboard pages (one per order, so they sort without a
// script), players/<number>.html and style.css. Files go only into the output directory and its
// players/ folder, each replaced whole; the directory must not hold the database. Throws DatabaseError.
ReportResult writeReport(Database& database, const ReportOptions& options);

}  // namespace varnstats
