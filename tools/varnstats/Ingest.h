#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "Database.h"
#include "LogLine.h"

namespace varnstats {

// What one file gave in one run.
struct FileSummary {
    std::string path;
    bool known = false;             // recognised as a file read before
    bool skipped = false;           // known and not read at all; skipReason says why
    bool notRegularFile = false;    // not read at all: a FIFO, a device or a folder
    std::string skipReason;
    std::uint64_t startOffset = 0;  // where reading began (uncompressed bytes)
    std::uint64_t endOffset = 0;    // after the last complete line read
    std::uint64_t lines = 0;        // complete lines read
    std::uint64_t stored = 0;       // statistics lines stored
    std::uint64_t withoutTime = 0;  // of those, lines without a time stamp
    std::uint64_t malformed = 0;    // statistics lines that did not read as such; skipped
    std::uint64_t unmatched = 0;    // statistics lines about a player or server the log never introduced
    std::map<std::string, std::uint64_t> malformedByPrefix;
    std::vector<std::string> malformedExamples;  // the first few, with their offsets
    std::optional<std::string> error;
};

struct IngestOptions {
    // Statistics lines per transaction.
    std::uint64_t batchLines = 20000;
    // The time of the run, in milliseconds since 1970 UTC (nothing: the system clock's). A time stamp
    // before 2000 or after the day following this one is refused as malformed.
    std::optional<std::int64_t> now;
    // Uncompressed bytes read from one compressed file at most; a file that holds more is refused.
    std::uint64_t gzipLimit = kDefaultGzipLimit;
    static constexpr std::uint64_t kDefaultGzipLimit = std::uint64_t{1} << 30;
};

// Reads server logs into the database. Constructing it takes the ingest lock, creates or migrates
// the schema, and loads what earlier runs left: the files read so far, the servers, the players and
// the sessions still open.
class Ingester {
public:
    Ingester(Database& database, IngestOptions options = {});
    ~Ingester();
    Ingester(const Ingester&) = delete;
    Ingester& operator=(const Ingester&) = delete;

    // Reads the lines of the file not read before. A file is known by the bytes it starts with and
    // those before the offset read so far, not by its name or inode: a rotated or compressed copy of
    // what was read adds nothing, and a file emptied and refilled is read from its start. A file at a
    // path never read that starts like one read and is no longer than what was read of it is a cut
    // copy of it: known, not read. A last line without its line end is left for the next run.
    // Throws DatabaseError.
    FileSummary ingestFile(const std::string& path);

private:
    struct FileRecord {
        std::int64_t id = 0;
        std::optional<std::int64_t> serverId;
        std::string path;
        std::int64_t headLength = 0;
        std::string headHash;
        std::int64_t offset = 0;
        std::int64_t tailLength = 0;
        std::string tailHash;
        bool stored = false;
        std::string storedPath;
    };
    // A compressed file as it was when last read to its end or refused for its size.
    struct CompressedFile {
        std::int64_t size = 0;
        std::int64_t changedAt = 0;
        std::string headHash;
        std::int64_t offset = 0;
        std::optional<std::int64_t> refusedLimit;
    };
    struct ServerState {
        std::int64_t id = 0;
        std::string gameLabel;
        std::int64_t slots = 0;
        std::optional<std::int64_t> lastSeen;
    };
    struct OpenSession {
        std::int64_t id = 0;
        std::string playerName;
    };
    struct Statements;
    class FileRun;

    void loadState();
    std::int64_t nextIdOf(const char* table);
    ServerState& serverFor(const LogLine& line);
    std::int64_t playerFor(const std::string& name);
    void closeSession(std::int64_t serverId, std::int64_t slot, SessionEnd end,
                      std::optional<std::int64_t> time);
    void closeAllSessions(std::int64_t serverId, SessionEnd end, std::optional<std::int64_t> time);
    void saveServerState(const ServerState& server);
    void saveFileRecord(FileRecord& record);
    void saveCompressedFile(const std::string& path, const CompressedFile& file);
    FileRecord* findRecord(class LogSource& source, const std::string& head, const std::string& path,
                           std::string& tail);
    const FileRecord* copiedFrom(class LogSource& source, const std::string& head, const std::string& path);

    Database& database_;
    IngestOptions options_;
    std::int64_t latestTime_ = 0;  // time stamps at or after this are refused
    std::unique_ptr<Statements> statements_;
    std::vector<FileRecord> files_;
    std::map<std::pair<std::string, std::string>, ServerState> servers_;  // by name and port
    std::map<std::string, std::int64_t> serverOfPath_;
    std::map<std::string, CompressedFile> compressedFiles_;  // by path
    std::unordered_map<std::string, std::int64_t> players_;
    std::map<std::pair<std::int64_t, std::int64_t>, OpenSession> openSessions_;  // by server and slot
    std::map<std::string, std::int64_t> nextIds_;
};

// The files in the order to read them: oldest modification first (a rotated file before the one
// that followed it), then by name; each path once.
std::vector<std::string> orderForIngest(const std::vector<std::string>& paths);

}  // namespace varnstats
