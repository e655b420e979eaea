#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Database.h"
#include "Ingest.h"

namespace varnstats::testing {

inline const std::string kSep = "\xA9";

// A directory of its own for one test, removed afterwards.
class ScratchDirectory {
public:
    ScratchDirectory() {
        static std::mt19937_64 random{std::random_device{}()};
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto candidate =
                std::filesystem::temp_directory_path() / ("varnstats-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) path_ = candidate;
        }
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline void appendFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::app) << content;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void writeGzipFile(const std::string& path, const std::string& content) {
    gzFile file = gzopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(gzwrite(file, content.data(), static_cast<unsigned>(content.size())),
              static_cast<int>(content.size()));
    ASSERT_EQ(gzclose(file), Z_OK);
}

inline std::string fixture(const std::string& name) {
    return readFile(std::string(VARNSTATS_FIXTURES) + "/" + name);
}

// One integer the query gives (its first column of its first row), -1 for none.
inline std::int64_t queryNumber(Database& database, const std::string& sql) {
    auto statement = database.prepare(sql);
    return statement->next() ? statement->optionalInteger(0).value_or(-1) : -1;
}

// The first column of every row of the query as text, NULL shown as "-".
inline std::vector<std::string> queryRows(Database& database, const std::string& sql) {
    auto statement = database.prepare(sql);
    std::vector<std::string> rows;
    while (statement->next()) rows.push_back(statement->optionalText(0).value_or("-"));
    return rows;
}

// Ingests files in one run, as "varnstats ingest" does.
inline std::vector<FileSummary> ingest(const std::string& database, const std::vector<std::string>& files,
                                       IngestOptions options = {}) {
    auto connection = openDatabase(database, OpenMode::ReadWrite);
    Ingester ingester(*connection, options);
    std::vector<FileSummary> summaries;
    for (const std::string& file : files) summaries.push_back(ingester.ingestFile(file));
    return summaries;
}

// The whole content of the tables that ingest fills, as text: equal dumps, equal databases.
inline std::string dumpTables(Database& database) {
    std::string dump;
    const char* queries[] = {
        "SELECT id || ':' || name || ':' || port || ':' || game_label || ':' || slots || ':' || "
        "coalesce(last_seen_at, -1) FROM servers ORDER BY id",
        "SELECT id || ':' || server_id || ':' || coalesce(started_at, -1) FROM server_starts ORDER BY id",
        "SELECT id || ':' || name FROM players ORDER BY id",
        "SELECT id || ':' || server_id || ':' || player_id || ':' || slot || ':' || address || ':' || "
        "coalesce(joined_at, -1) || ':' || coalesce(left_at, -1) || ':' || coalesce(ended, 'open') FROM "
        "sessions "
        "ORDER BY id",
        "SELECT id || ':' || killer_session_id || ':' || victim_session_id || ':' || coalesce(at, -1) FROM "
        "kills "
        "ORDER BY id",
        "SELECT id || ':' || server_id || ':' || session_id || ':' || vehicle || ':' || coalesce(at, -1) "
        "FROM "
        "vehicle_changes ORDER BY id",
        "SELECT id || ':' || server_id || ':' || session_id || ':' || weapon || ':' || coalesce(at, -1) FROM "
        "weapon_changes ORDER BY id",
    };
    for (const char* query : queries) {
        for (const std::string& row : queryRows(database, query)) dump += row + "\n";
        dump += "--\n";
    }
    return dump;
}

}  // namespace varnstats::testing
