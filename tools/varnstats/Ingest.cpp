#include "Ingest.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>

#include "Calendar.h"
#include "LogSource.h"
#include "Schema.h"
#include "Text.h"

namespace varnstats {

namespace {

// A file is recognised by its first bytes (up to this many) ...
constexpr std::size_t kHeadLength = 1024;
// ... and by the bytes just before the offset read so far.
constexpr std::size_t kTailLength = 256;
constexpr std::size_t kReadChunk = 1 << 20;
// Longer lines are not the server's; they are skipped whole.
constexpr std::size_t kLongestLine = 64 * 1024;
constexpr std::size_t kMalformedExamples = 5;
// The server came long after this; a time stamp before it is not one of its own.
constexpr std::int64_t kEarliestTime = 946684800000;  // 2000-01-01T00:00:00Z

std::string absolutePath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

}  // namespace

struct Ingester::Statements {
    explicit Statements(Database& database)
        : insertServer(database.prepare("INSERT INTO servers (id, name, port, game_label, slots, "
                                        "last_seen_at) VALUES (?, ?, ?, ?, ?, ?)")),
          updateServer(database.prepare(
              "UPDATE servers SET game_label = ?, slots = ?, last_seen_at = ? WHERE id = ?")),
          insertStart(database.prepare("INSERT INTO server_starts (id, server_id, started_at, game_label, "
                                       "slots) VALUES (?, ?, ?, ?, ?)")),
          insertPlayer(database.prepare("INSERT INTO players (id, name) VALUES (?, ?)")),
          insertSession(
              database.prepare("INSERT INTO sessions (id, server_id, player_id, slot, address, joined_at) "
                               "VALUES (?, ?, ?, ?, ?, ?)")),
          closeSession(database.prepare("UPDATE sessions SET left_at = ?, ended = ? WHERE id = ?")),
          insertKill(
              database.prepare("INSERT INTO kills (id, server_id, killer_session_id, victim_session_id, at) "
                               "VALUES (?, ?, ?, ?, ?)")),
          insertVehicle(database.prepare(
              "INSERT INTO vehicle_changes (id, server_id, session_id, vehicle, at) VALUES (?, ?, ?, ?, ?)")),
          insertWeapon(database.prepare(
              "INSERT INTO weapon_changes (id, server_id, session_id, weapon, at) VALUES (?, ?, ?, ?, ?)")),
          insertFile(database.prepare(
              "INSERT INTO log_files (id, server_id, path, head_length, head_hash, read_offset, tail_length, "
              "tail_hash) VALUES (?, ?, ?, ?, ?, ?, ?, ?)")),
          updateFile(database.prepare("UPDATE log_files SET server_id = ?, path = ?, head_length = ?, "
                                      "head_hash = ?, read_offset = ?, "
                                      "tail_length = ?, tail_hash = ? WHERE id = ?")),
          deletePath(database.prepare("DELETE FROM log_paths WHERE path = ?")),
          insertPath(database.prepare("INSERT INTO log_paths (path, server_id) VALUES (?, ?)")),
          deleteCompressed(database.prepare("DELETE FROM compressed_files WHERE path = ?")),
          insertCompressed(
              database.prepare("INSERT INTO compressed_files (path, file_size, changed_at, "
                               "head_hash, read_offset, refused_limit) VALUES (?, ?, ?, ?, ?, ?)")) {}

    std::unique_ptr<Statement> insertServer;
    std::unique_ptr<Statement> updateServer;
    std::unique_ptr<Statement> insertStart;
    std::unique_ptr<Statement> insertPlayer;
    std::unique_ptr<Statement> insertSession;
    std::unique_ptr<Statement> closeSession;
    std::unique_ptr<Statement> insertKill;
    std::unique_ptr<Statement> insertVehicle;
    std::unique_ptr<Statement> insertWeapon;
    std::unique_ptr<Statement> insertFile;
    std::unique_ptr<Statement> updateFile;
    std::unique_ptr<Statement> deletePath;
    std::unique_ptr<Statement> insertPath;
    std::unique_ptr<Statement> deleteCompressed;
    std::unique_ptr<Statement> insertCompressed;
};

Ingester::Ingester(Database& database, IngestOptions options) : database_(database), options_(options) {
    const std::int64_t now =
        options_.now.value_or(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    // Up to the end of the day after today: a server's clock may run a little ahead.
    latestTime_ = (dayOf(now) + 2) * kMillisecondsPerDay;
    database_.lockForIngest();
    migrateSchema(database_);
    statements_ = std::make_unique<Statements>(database_);
    loadState();
}

Ingester::~Ingester() = default;

std::int64_t Ingester::nextIdOf(const char* table) {
    std::int64_t& next = nextIds_[table];
    return next++;
}

void Ingester::loadState() {
    for (const char* table : {"servers", "server_starts", "players", "sessions", "kills", "vehicle_changes",
                              "weapon_changes", "log_files"}) {
        auto statement = database_.prepare(std::string("SELECT max(id) FROM ") + table);
        nextIds_[table] = (statement->next() ? statement->optionalInteger(0).value_or(0) : 0) + 1;
    }
    auto servers = database_.prepare("SELECT id, name, port, game_label, slots, last_seen_at FROM servers");
    while (servers->next()) {
        servers_[{servers->text(1), servers->text(2)}] = ServerState{
            servers->integer(0), servers->text(3), servers->integer(4), servers->optionalInteger(5)};
    }
    auto players = database_.prepare("SELECT id, name FROM players");
    while (players->next()) players_.emplace(players->text(1), players->integer(0));
    auto sessions = database_.prepare(
        "SELECT s.id, s.server_id, s.slot, p.name FROM sessions s JOIN players p ON p.id = s.player_id "
        "WHERE s.ended IS NULL");
    while (sessions->next()) {
        openSessions_[{sessions->integer(1), sessions->integer(2)}] =
            OpenSession{sessions->integer(0), sessions->text(3)};
    }
    auto files = database_.prepare(
        "SELECT id, server_id, path, head_length, head_hash, read_offset, tail_length, tail_hash FROM "
        "log_files");
    while (files->next()) {
        files_.push_back(FileRecord{files->integer(0), files->optionalInteger(1), files->text(2),
                                    files->integer(3), files->text(4), files->integer(5), files->integer(6),
                                    files->text(7), true, files->text(2)});
    }
    auto paths = database_.prepare("SELECT path, server_id FROM log_paths");
    while (paths->next()) serverOfPath_[paths->text(0)] = paths->integer(1);
    auto compressed = database_.prepare(
        "SELECT path, file_size, changed_at, head_hash, read_offset, refused_limit FROM compressed_files");
    while (compressed->next()) {
        compressedFiles_[compressed->text(0)] =
            CompressedFile{compressed->integer(1), compressed->integer(2), compressed->text(3),
                           compressed->integer(4), compressed->optionalInteger(5)};
    }
}

void Ingester::saveCompressedFile(const std::string& path, const CompressedFile& file) {
    database_.begin();
    try {
        statements_->deleteCompressed->bind(1, path);
        statements_->deleteCompressed->run();
        Statement& insert = *statements_->insertCompressed;
        insert.bind(1, path);
        insert.bind(2, file.size);
        insert.bind(3, file.changedAt);
        insert.bind(4, file.headHash);
        insert.bind(5, file.offset);
        insert.bind(6, file.refusedLimit);
        insert.run();
        database_.commit();
    } catch (...) {
        database_.rollback();
        throw;
    }
    compressedFiles_[path] = file;
}

Ingester::ServerState& Ingester::serverFor(const LogLine& line) {
    const std::string name = readableText(line.serverName);
    const std::string port = readableText(line.port);
    const std::string label = readableText(line.gameLabel);
    auto found = servers_.find({name, port});
    if (found != servers_.end()) {
        found->second.gameLabel = label;
        found->second.slots = line.slots;
        return found->second;
    }
    ServerState server{nextIdOf("servers"), label, line.slots, std::nullopt};
    Statement& insert = *statements_->insertServer;
    insert.bind(1, server.id);
    insert.bind(2, name);
    insert.bind(3, port);
    insert.bind(4, label);
    insert.bind(5, line.slots);
    insert.bindNull(6);
    insert.run();
    return servers_.emplace(std::make_pair(name, port), server).first->second;
}

std::int64_t Ingester::playerFor(const std::string& name) {
    const auto found = players_.find(name);
    if (found != players_.end()) return found->second;
    const std::int64_t id = nextIdOf("players");
    Statement& insert = *statements_->insertPlayer;
    insert.bind(1, id);
    insert.bind(2, name);
    insert.run();
    players_.emplace(name, id);
    return id;
}

void Ingester::closeSession(std::int64_t serverId, std::int64_t slot, SessionEnd end,
                            std::optional<std::int64_t> time) {
    const auto found = openSessions_.find({serverId, slot});
    if (found == openSessions_.end()) return;
    Statement& close = *statements_->closeSession;
    close.bind(1, time);
    close.bind(2, sessionEndText(end));
    close.bind(3, found->second.id);
    close.run();
    openSessions_.erase(found);
}

void Ingester::closeAllSessions(std::int64_t serverId, SessionEnd end, std::optional<std::int64_t> time) {
    std::vector<std::int64_t> slots;
    for (auto it = openSessions_.lower_bound({serverId, INT64_MIN});
         it != openSessions_.end() && it->first.first == serverId; ++it) {
        slots.push_back(it->first.second);
    }
    for (const std::int64_t slot : slots) closeSession(serverId, slot, end, time);
}

void Ingester::saveServerState(const ServerState& server) {
    Statement& update = *statements_->updateServer;
    update.bind(1, server.gameLabel);
    update.bind(2, server.slots);
    update.bind(3, server.lastSeen);
    update.bind(4, server.id);
    update.run();
}

void Ingester::saveFileRecord(FileRecord& record) {
    Statement& statement = record.stored ? *statements_->updateFile : *statements_->insertFile;
    const int first = record.stored ? 0 : 1;
    if (!record.stored) statement.bind(1, record.id);
    statement.bind(first + 1, record.serverId);
    statement.bind(first + 2, readableText(record.path));
    statement.bind(first + 3, record.headLength);
    statement.bind(first + 4, record.headHash);
    statement.bind(first + 5, record.offset);
    statement.bind(first + 6, record.tailLength);
    statement.bind(first + 7, record.tailHash);
    if (record.stored) statement.bind(8, record.id);
    statement.run();
    record.stored = true;
    record.storedPath = record.path;
    if (record.serverId) {
        const std::string path = readableText(record.path);
        statements_->deletePath->bind(1, path);
        statements_->deletePath->run();
        statements_->insertPath->bind(1, path);
        statements_->insertPath->bind(2, *record.serverId);
        statements_->insertPath->run();
        serverOfPath_[record.path] = *record.serverId;
    }
}

// Of the records whose head matches the file's first bytes and whose tail matches the bytes before
// their offset, the one read furthest; a record of the same path wins a tie, then the newest.
Ingester::FileRecord* Ingester::findRecord(LogSource& source, const std::string& head,
                                           const std::string& path, std::string& tail) {
    std::vector<FileRecord*> candidates;
    std::map<std::int64_t, std::string> headHashes;
    for (FileRecord& record : files_) {
        if (record.headLength > static_cast<std::int64_t>(head.size())) continue;
        auto [hash, added] = headHashes.try_emplace(record.headLength);
        if (added) hash->second = fingerprintOf(std::string_view(head).substr(0, record.headLength));
        if (hash->second == record.headHash) candidates.push_back(&record);
    }
    std::sort(candidates.begin(), candidates.end(), [&path](const FileRecord* a, const FileRecord* b) {
        return std::tuple(a->offset, a->path == path, a->id) > std::tuple(b->offset, b->path == path, b->id);
    });
    for (FileRecord* record : candidates) {
        const auto tailStart = static_cast<std::uint64_t>(record->offset - record->tailLength);
        if (!source.readAt(tailStart, static_cast<std::size_t>(record->tailLength), tail)) return nullptr;
        if (static_cast<std::int64_t>(tail.size()) == record->tailLength &&
            fingerprintOf(tail) == record->tailHash) {
            return record;
        }
    }
    return nullptr;
}

// A file kept aside from a log read before (its first lines copied, say): it starts with the same
// first bytes, holds no more than was read of that log, and lies at a path no log was read at (where
// the server may have emptied and refilled its log). The log it came from, or nothing.
const Ingester::FileRecord* Ingester::copiedFrom(LogSource& source, const std::string& head,
                                                 const std::string& path) {
    if (serverOfPath_.count(path) > 0) return nullptr;
    const FileRecord* furthest = nullptr;
    for (const FileRecord& record : files_) {
        if (record.path == path) return nullptr;
        if (record.headLength != static_cast<std::int64_t>(std::min(head.size(), kHeadLength)) ||
            (furthest != nullptr && furthest->offset >= record.offset) ||
            fingerprintOf(std::string_view(head).substr(0, static_cast<std::size_t>(record.headLength))) !=
                record.headHash) {
            continue;
        }
        furthest = &record;
    }
    if (furthest == nullptr) return nullptr;
    std::string beyond;
    if (!source.readAt(static_cast<std::uint64_t>(furthest->offset), 1, beyond) || !beyond.empty())
        return nullptr;
    return furthest;
}

// The reading of one file: lines in, rows out, in batches that each end with the file's new offset.
class Ingester::FileRun {
public:
    struct ReadError {
        std::string message;
    };

    FileRun(Ingester& ingester, FileRecord& record, FileSummary& summary, std::string head, std::string tail)
        : ingester_(ingester),
          record_(record),
          summary_(summary),
          head_(std::move(head)),
          offset_(static_cast<std::uint64_t>(record.offset)),
          tail_(std::move(tail)) {
        if (record_.serverId) {
            for (auto& [key, server] : ingester_.servers_) {
                if (server.id == *record_.serverId) current_ = &server;
            }
        }
    }

    void read(LogSource& source) {
        std::string buffer;
        std::uint64_t bufferOffset = offset_;
        std::vector<char> chunk(kReadChunk);
        while (true) {
            const long got = source.read(chunk.data(), chunk.size());
            if (got < 0) {
                // The complete lines before the fault are good: they stay.
                summary_.endOffset = offset_;
                commit();
                throw ReadError{source.error()};
            }
            if (got == 0) break;
            buffer.append(chunk.data(), static_cast<std::size_t>(got));
            std::size_t start = 0;
            if (skippingLongLine_) {
                const std::size_t end = buffer.find('\n');
                start = end == std::string::npos ? buffer.size() : end + 1;
                skippingLongLine_ = end == std::string::npos;
            }
            for (std::size_t end = buffer.find('\n', start); end != std::string::npos;
                 end = buffer.find('\n', start)) {
                handle(std::string_view(buffer.data() + start, end - start), bufferOffset + start);
                start = end + 1;
                if (batchLines_ >= ingester_.options_.batchLines) {
                    offset_ = bufferOffset + start;
                    tail_ = tailAt(buffer, start);
                    commit();
                }
            }
            if (!skippingLongLine_ && buffer.size() - start > kLongestLine) {
                // Not a line of the server's: counted once and skipped up to its end.
                noteMalformed("(overlong line)", std::string_view(buffer).substr(start),
                              bufferOffset + start);
                start = buffer.size();
                skippingLongLine_ = true;
            }
            offset_ = bufferOffset + start;
            tail_ = tailAt(buffer, start);
            buffer.erase(0, start);
            bufferOffset += start;
        }
        summary_.endOffset = offset_;
        commit();
    }

    // After a database failure: what this batch wrote is undone.
    void abandon() {
        if (!inTransaction_) return;
        inTransaction_ = false;
        ingester_.database_.rollback();
    }

private:
    enum class Outcome { Ignored, Stored, Unmatched };

    void handle(std::string_view text, std::uint64_t offset) {
        ++summary_.lines;
        if (text.size() > kLongestLine) {
            noteMalformed("(overlong line)", text, offset);
            return;
        }
        const LogLine line = parseLogLine(text);
        if (line.time && (*line.time < kEarliestTime || *line.time >= ingester_.latestTime_)) {
            noteMalformed("(time stamp out of range)", text, offset);
            return;
        }
        const Outcome outcome = apply(line, text, offset);
        if (line.time && current_ != nullptr) {
            current_->lastSeen = std::max(current_->lastSeen.value_or(*line.time), *line.time);
            touched_.insert(current_);
        }
        if (outcome == Outcome::Stored) {
            ++summary_.stored;
            if (!line.time) ++summary_.withoutTime;
            ++batchLines_;
        } else if (outcome == Outcome::Unmatched) {
            ++summary_.unmatched;
        }
    }

    Outcome apply(const LogLine& line, std::string_view text, std::uint64_t offset) {
        switch (line.kind) {
            case LineKind::Other: return Outcome::Ignored;
            case LineKind::Malformed:
                noteMalformed(line.malformedPrefix, text, offset);
                return Outcome::Ignored;
            case LineKind::ServerInit: serverStart(line); return Outcome::Stored;
            case LineKind::ServerShutdown:
                if (current_ != nullptr) {
                    beginBatch();
                    ingester_.closeAllSessions(current_->id, SessionEnd::Shutdown, line.time);
                }
                return Outcome::Ignored;
            case LineKind::PlayerRemoved: removal(line); return Outcome::Ignored;
            default:
                if (current_ == nullptr) return Outcome::Unmatched;
                return playerEvent(line) ? Outcome::Stored : Outcome::Unmatched;
        }
    }

    void serverStart(const LogLine& line) {
        beginBatch();
        ServerState& server = ingester_.serverFor(line);
        // Sessions still open from the server's last run ended when it stopped without saying so.
        ingester_.closeAllSessions(server.id, SessionEnd::Lost, server.lastSeen);
        Statement& insert = *ingester_.statements_->insertStart;
        insert.bind(1, ingester_.nextIdOf("server_starts"));
        insert.bind(2, server.id);
        insert.bind(3, line.time);
        insert.bind(4, server.gameLabel);
        insert.bind(5, server.slots);
        insert.run();
        current_ = &server;
        touched_.insert(&server);
        pendingDeath_.reset();
    }

    const OpenSession* sessionAt(std::int64_t slot) const {
        const auto found = ingester_.openSessions_.find({current_->id, slot});
        return found != ingester_.openSessions_.end() ? &found->second : nullptr;
    }

    bool playerEvent(const LogLine& line) {
        if (line.kind == LineKind::Death) {
            // Written right after the kill it belongs to, which stored the death with it; the run
            // before may have read that kill.
            const bool matches =
                pendingDeath_ == line.slot || (!pendingDeath_ && sessionAt(line.slot) != nullptr);
            pendingDeath_.reset();
            return matches;
        }
        pendingDeath_.reset();
        if (line.kind == LineKind::Join) {
            join(line);
            return true;
        }
        const OpenSession* session = sessionAt(line.slot);
        if (session == nullptr) return false;
        switch (line.kind) {
            case LineKind::Quit:
                beginBatch();
                ingester_.closeSession(current_->id, line.slot, SessionEnd::Quit, line.time);
                return true;
            case LineKind::Kill: return kill(line, *session);
            case LineKind::Vehicle:
            case LineKind::Weapon: change(line, *session); return true;
            default: return false;
        }
    }

    void join(const LogLine& line) {
        beginBatch();
        // The slot's last holder left without a line that says so: he was gone by the line before.
        ingester_.closeSession(current_->id, line.slot, SessionEnd::Lost, current_->lastSeen);
        const std::int64_t playerId = ingester_.playerFor(line.playerName);
        const std::int64_t sessionId = ingester_.nextIdOf("sessions");
        Statement& insert = *ingester_.statements_->insertSession;
        insert.bind(1, sessionId);
        insert.bind(2, current_->id);
        insert.bind(3, playerId);
        insert.bind(4, line.slot);
        insert.bind(5, line.address);
        insert.bind(6, line.time);
        insert.run();
        ingester_.openSessions_[{current_->id, line.slot}] = OpenSession{sessionId, line.playerName};
    }

    bool kill(const LogLine& line, const OpenSession& killer) {
        const OpenSession* victim = sessionAt(line.value);
        if (victim == nullptr) return false;
        beginBatch();
        Statement& insert = *ingester_.statements_->insertKill;
        insert.bind(1, ingester_.nextIdOf("kills"));
        insert.bind(2, current_->id);
        insert.bind(3, killer.id);
        insert.bind(4, victim->id);
        insert.bind(5, line.time);
        insert.run();
        pendingDeath_ = line.value;
        return true;
    }

    void change(const LogLine& line, const OpenSession& session) {
        beginBatch();
        const bool vehicle = line.kind == LineKind::Vehicle;
        Statement& insert =
            vehicle ? *ingester_.statements_->insertVehicle : *ingester_.statements_->insertWeapon;
        insert.bind(1, ingester_.nextIdOf(vehicle ? "vehicle_changes" : "weapon_changes"));
        insert.bind(2, current_->id);
        insert.bind(3, session.id);
        insert.bind(4, line.value);
        insert.bind(5, line.time);
        insert.run();
    }

    // A removal the server logs in words ends the session of that slot, when the name agrees.
    void removal(const LogLine& line) {
        if (current_ == nullptr) return;
        const OpenSession* session = sessionAt(line.slot);
        if (session == nullptr || session->playerName != line.playerName) return;
        beginBatch();
        ingester_.closeSession(current_->id, line.slot, line.end, line.time);
    }

    void noteMalformed(std::string_view prefix, std::string_view text, std::uint64_t offset) {
        ++summary_.malformed;
        ++summary_.malformedByPrefix[std::string(prefix.substr(0, prefix.find(':')))];
        if (summary_.malformedExamples.size() < kMalformedExamples) {
            summary_.malformedExamples.push_back("at byte " + std::to_string(offset) + ": " +
                                                 printableExcerpt(text, 100));
        }
    }

    void beginBatch() {
        if (inTransaction_) return;
        ingester_.database_.begin();
        inTransaction_ = true;
    }

    // The last bytes before buffer[end], for recognising the file next time.
    std::string tailAt(const std::string& buffer, std::size_t end) const {
        if (end >= kTailLength) return buffer.substr(end - kTailLength, kTailLength);
        std::string tail = tail_ + buffer.substr(0, end);
        if (tail.size() > kTailLength) tail.erase(0, tail.size() - kTailLength);
        return tail;
    }

    void commit() {
        const std::size_t headLength = std::min(head_.size(), kHeadLength);
        const bool headGrows = static_cast<std::int64_t>(headLength) > record_.headLength;
        const bool moved = static_cast<std::int64_t>(offset_) != record_.offset || !record_.stored ||
                           record_.path != record_.storedPath;
        if (!inTransaction_ && !headGrows && !moved && touched_.empty()) return;
        beginBatch();
        for (ServerState* server : touched_) ingester_.saveServerState(*server);
        if (current_ != nullptr) record_.serverId = current_->id;
        record_.offset = static_cast<std::int64_t>(offset_);
        record_.tailLength = static_cast<std::int64_t>(tail_.size());
        record_.tailHash = fingerprintOf(tail_);
        if (headGrows) {
            record_.headLength = static_cast<std::int64_t>(headLength);
            record_.headHash = fingerprintOf(std::string_view(head_).substr(0, headLength));
        }
        ingester_.saveFileRecord(record_);
        ingester_.database_.commit();
        inTransaction_ = false;
        touched_.clear();
        batchLines_ = 0;
    }

    Ingester& ingester_;
    FileRecord& record_;
    FileSummary& summary_;
    std::string head_;
    std::uint64_t offset_;
    std::string tail_;
    ServerState* current_ = nullptr;
    std::set<ServerState*> touched_;
    std::optional<std::int64_t> pendingDeath_;
    std::uint64_t batchLines_ = 0;
    bool inTransaction_ = false;
    bool skippingLongLine_ = false;
};

FileSummary Ingester::ingestFile(const std::string& path) {
    FileSummary summary;
    summary.path = path;
    struct stat status {};
    const bool statted = ::stat(path.c_str(), &status) == 0;
    LogSource source;
    source.limitUncompressed(options_.gzipLimit);
    std::string head;
    if (!source.open(path) || !source.readAt(0, kHeadLength, head)) {
        if (source.notRegularFile()) {
            summary.notRegularFile = true;
            return summary;
        }
        summary.error = source.error();
        return summary;
    }
    const std::string fullPath = absolutePath(path);
    // A compressed file does not change once written: one read to its end (or refused for its size)
    // and unchanged since is not decompressed again.
    std::optional<CompressedFile> compressed;
    if (source.isCompressed() && statted) {
        compressed = CompressedFile{static_cast<std::int64_t>(status.st_size),
                                    static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1'000'000'000 +
                                        status.st_ctim.tv_nsec,
                                    fingerprintOf(head), 0, std::nullopt};
        const auto found = compressedFiles_.find(readableText(fullPath));
        if (found != compressedFiles_.end() && found->second.size == compressed->size &&
            found->second.changedAt == compressed->changedAt &&
            found->second.headHash == compressed->headHash) {
            if (!found->second.refusedLimit) {
                summary.known = true;
                summary.skipped = true;
                summary.skipReason = "compressed, unchanged since it was read to its end";
                summary.startOffset = summary.endOffset = static_cast<std::uint64_t>(found->second.offset);
                return summary;
            }
            if (options_.gzipLimit <= static_cast<std::uint64_t>(*found->second.refusedLimit)) {
                summary.error = refusedForSize(path, options_.gzipLimit);
                return summary;
            }
        }
    }
    std::string tail;
    FileRecord* record = findRecord(source, head, fullPath, tail);
    if (!source.error().empty()) {
        summary.error = source.error();
        return summary;
    }
    if (record == nullptr) {
        if (const FileRecord* original = copiedFrom(source, head, fullPath)) {
            summary.known = true;
            summary.skipped = true;
            summary.skipReason = "holds only lines read before, from " + original->path;
            return summary;
        }
        if (!source.error().empty()) {
            summary.error = source.error();
            return summary;
        }
        tail.clear();
        FileRecord fresh;
        fresh.id = nextIdOf("log_files");
        fresh.path = fullPath;
        fresh.headLength = static_cast<std::int64_t>(std::min(head.size(), kHeadLength));
        fresh.headHash =
            fingerprintOf(std::string_view(head).substr(0, static_cast<std::size_t>(fresh.headLength)));
        fresh.tailHash = fingerprintOf("");
        // A file that does not start with a server's start continues the server last read at its path
        // (the server reopened its log after rotation).
        if (const auto found = serverOfPath_.find(fullPath); found != serverOfPath_.end()) {
            fresh.serverId = found->second;
        }
        files_.push_back(fresh);
        record = &files_.back();
    } else {
        summary.known = true;
    }
    record->path = fullPath;
    summary.startOffset = static_cast<std::uint64_t>(record->offset);
    if (!source.seek(summary.startOffset)) {
        summary.error = source.error();
        return summary;
    }
    FileRun run(*this, *record, summary, head, tail);
    try {
        run.read(source);
    } catch (const FileRun::ReadError& error) {
        summary.error = error.message;
    } catch (...) {
        run.abandon();
        throw;
    }
    if (compressed && (!summary.error || source.overLimit())) {
        compressed->offset = static_cast<std::int64_t>(summary.endOffset);
        if (summary.error) compressed->refusedLimit = static_cast<std::int64_t>(options_.gzipLimit);
        saveCompressedFile(readableText(fullPath), *compressed);
    }
    return summary;
}

std::vector<std::string> orderForIngest(const std::vector<std::string>& paths) {
    struct Entry {
        std::int64_t seconds;
        std::int64_t nanoseconds;
        std::string path;
    };
    std::vector<Entry> entries;
    std::set<std::string> seen;
    for (const std::string& path : paths) {
        if (!seen.insert(path).second) continue;
        struct stat status {};
        Entry entry{0, 0, path};
        if (::stat(path.c_str(), &status) == 0) {
            entry.seconds = status.st_mtim.tv_sec;
            entry.nanoseconds = status.st_mtim.tv_nsec;
        }
        entries.push_back(entry);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return std::tie(a.seconds, a.nanoseconds, a.path) < std::tie(b.seconds, b.nanoseconds, b.path);
    });
    std::vector<std::string> ordered;
    for (Entry& entry : entries) ordered.push_back(std::move(entry.path));
    return ordered;
}

}  // namespace varnstats
