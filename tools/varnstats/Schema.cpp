#include "Schema.h"

#include <string>

namespace varnstats {

namespace {

// Version 1. Times are milliseconds since 1970 UTC, NULL when the log carried no time stamps. Ids are
// given out by varnstats itself under the ingest lock, so both databases number rows alike.
constexpr std::string_view kVersion1 = R"SQL(
CREATE TABLE servers (
    id @ID@,
    name TEXT NOT NULL,
    port TEXT NOT NULL,
    game_label TEXT NOT NULL,
    slots INTEGER NOT NULL,
    last_seen_at BIGINT,
    UNIQUE (name, port));
CREATE TABLE server_starts (
    id @ID@,
    server_id BIGINT NOT NULL REFERENCES servers (id),
    started_at BIGINT,
    game_label TEXT NOT NULL,
    slots INTEGER NOT NULL);
CREATE TABLE players (
    id @ID@,
    name TEXT NOT NULL UNIQUE);
CREATE TABLE sessions (
    id @ID@,
    server_id BIGINT NOT NULL REFERENCES servers (id),
    player_id BIGINT NOT NULL REFERENCES players (id),
    slot INTEGER NOT NULL,
    address TEXT NOT NULL,
    joined_at BIGINT,
    left_at BIGINT,
    ended TEXT);
CREATE INDEX sessions_open ON sessions (server_id) WHERE ended IS NULL;
CREATE TABLE kills (
    id @ID@,
    server_id BIGINT NOT NULL REFERENCES servers (id),
    killer_session_id BIGINT NOT NULL REFERENCES sessions (id),
    victim_session_id BIGINT NOT NULL REFERENCES sessions (id),
    at BIGINT);
CREATE TABLE vehicle_changes (
    id @ID@,
    server_id BIGINT NOT NULL REFERENCES servers (id),
    session_id BIGINT NOT NULL REFERENCES sessions (id),
    vehicle INTEGER NOT NULL,
    at BIGINT);
CREATE TABLE weapon_changes (
    id @ID@,
    server_id BIGINT NOT NULL REFERENCES servers (id),
    session_id BIGINT NOT NULL REFERENCES sessions (id),
    weapon INTEGER NOT NULL,
    at BIGINT);
CREATE TABLE log_files (
    id @ID@,
    server_id BIGINT REFERENCES servers (id),
    path TEXT NOT NULL,
    head_length INTEGER NOT NULL,
    head_hash TEXT NOT NULL,
    read_offset BIGINT NOT NULL,
    tail_length INTEGER NOT NULL,
    tail_hash TEXT NOT NULL);
CREATE TABLE log_paths (
    path TEXT PRIMARY KEY,
    server_id BIGINT NOT NULL REFERENCES servers (id));
)SQL";

// Version 2: compressed files by path, as they were when last read to their end (or refused for
// their size), so an unchanged one is not decompressed again. changed_at is the file's change time
// in nanoseconds; refused_limit the decompression limit it was refused under, NULL when read.
constexpr std::string_view kVersion2 = R"SQL(
CREATE TABLE compressed_files (
    path TEXT PRIMARY KEY,
    file_size BIGINT NOT NULL,
    changed_at BIGINT NOT NULL,
    head_hash TEXT NOT NULL,
    read_offset BIGINT NOT NULL,
    refused_limit BIGINT);
)SQL";

// Each entry takes the schema from the version before it to its own.
constexpr std::string_view kMigrations[] = {kVersion1, kVersion2};

std::string forBackend(std::string_view sql, Backend backend) {
    // SQLite's INTEGER PRIMARY KEY is the row id itself: the fastest key it has, and 64 bits wide.
    const std::string idType = backend == Backend::Sqlite ? "INTEGER PRIMARY KEY" : "BIGINT PRIMARY KEY";
    std::string text(sql);
    for (std::size_t at = text.find("@ID@"); at != std::string::npos; at = text.find("@ID@", at)) {
        text.replace(at, 4, idType);
    }
    return text;
}

}  // namespace

int schemaVersionOf(Database& database) {
    if (!database.hasTable("schema_version")) return 0;
    auto statement = database.prepare("SELECT max(version) FROM schema_version");
    return statement->next() ? static_cast<int>(statement->optionalInteger(0).value_or(0)) : 0;
}

void migrateSchema(Database& database) {
    const int version = schemaVersionOf(database);
    if (version > kSchemaVersion) {
        throw DatabaseError("the database has schema version " + std::to_string(version) +
                            ", newer than this varnstats knows (" + std::to_string(kSchemaVersion) + ")");
    }
    if (version == kSchemaVersion) return;
    database.begin();
    try {
        if (version == 0) database.execute("CREATE TABLE schema_version (version INTEGER NOT NULL)");
        for (int next = version + 1; next <= kSchemaVersion; ++next) {
            database.execute(forBackend(kMigrations[next - 1], database.backend()));
        }
        database.execute("DELETE FROM schema_version");
        database.execute("INSERT INTO schema_version (version) VALUES (" + std::to_string(kSchemaVersion) +
                         ")");
        database.commit();
    } catch (...) {
        database.rollback();
        throw;
    }
}

}  // namespace varnstats
