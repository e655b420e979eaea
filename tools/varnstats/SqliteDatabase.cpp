#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Database.h"

namespace varnstats {

namespace {

constexpr int kBusyTimeoutMilliseconds = 120 * 1000;

class SqliteStatement final : public Statement {
public:
    SqliteStatement(sqlite3* connection, sqlite3_stmt* statement)
        : connection_(connection), statement_(statement) {}
    ~SqliteStatement() override { sqlite3_finalize(statement_); }

    void bind(int index, std::int64_t value) override {
        check(sqlite3_bind_int64(statement_, index, static_cast<sqlite3_int64>(value)));
    }
    void bind(int index, std::string_view text) override {
        check(
            sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    }
    void bindNull(int index) override { check(sqlite3_bind_null(statement_, index)); }

    bool next() override {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW) return true;
        if (result == SQLITE_DONE) return false;
        throw DatabaseError(std::string("SQLite: ") + sqlite3_errmsg(connection_));
    }
    std::int64_t integer(int column) const override { return sqlite3_column_int64(statement_, column); }
    std::optional<std::int64_t> optionalInteger(int column) const override {
        if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
        return sqlite3_column_int64(statement_, column);
    }
    std::string text(int column) const override {
        const auto* bytes = sqlite3_column_text(statement_, column);
        const int size = sqlite3_column_bytes(statement_, column);
        return bytes != nullptr
                   ? std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size))
                   : std::string();
    }
    bool isNull(int column) const override { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    void reset() override {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }

private:
    void check(int result) const {
        if (result != SQLITE_OK) throw DatabaseError(std::string("SQLite: ") + sqlite3_errmsg(connection_));
    }

    sqlite3* connection_;
    sqlite3_stmt* statement_;
};

class SqliteDatabase final : public Database {
public:
    SqliteDatabase(sqlite3* connection, std::string path) : connection_(connection), path_(std::move(path)) {}
    ~SqliteDatabase() override { sqlite3_close_v2(connection_); }

    Backend backend() const override { return Backend::Sqlite; }

    void execute(std::string_view sql) override {
        const std::string text(sql);
        char* message = nullptr;
        if (sqlite3_exec(connection_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string reason = message != nullptr ? message : sqlite3_errmsg(connection_);
            sqlite3_free(message);
            throw DatabaseError("SQLite: " + reason);
        }
    }

    std::unique_ptr<Statement> prepare(std::string_view sql) override {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(connection_, sql.data(), static_cast<int>(sql.size()), &statement, nullptr) !=
            SQLITE_OK) {
            throw DatabaseError(std::string("SQLite: ") + sqlite3_errmsg(connection_));
        }
        return std::make_unique<SqliteStatement>(connection_, statement);
    }

    bool hasTable(std::string_view name) override {
        auto statement = prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?");
        statement->bind(1, name);
        return statement->next() && statement->integer(0) > 0;
    }

    void lockForIngest() override {
        // In exclusive locking mode the lock taken by the first write is kept until the connection
        // closes; a second ingest waits for it (busy time-out), and so does a report.
        execute("PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE; COMMIT;");
    }

    std::string description() const override { return path_; }
    std::optional<std::string> filePath() const override { return path_; }

private:
    sqlite3* connection_;
    std::string path_;
};

// The database holds players' addresses: readable by its owner only.
void createPrivateFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return;
        throw DatabaseError(path + ": cannot create: " + std::strerror(errno));
    }
    ::close(fd);
}

}  // namespace

std::unique_ptr<Database> openSqlite(const std::string& path, OpenMode mode) {
    int flags = SQLITE_OPEN_NOMUTEX;
    if (mode == OpenMode::ReadOnly) {
        flags |= SQLITE_OPEN_READONLY;
    } else {
        createPrivateFile(path);
        flags |= SQLITE_OPEN_READWRITE;
    }
    sqlite3* connection = nullptr;
    if (sqlite3_open_v2(path.c_str(), &connection, flags, nullptr) != SQLITE_OK) {
        const std::string reason = connection != nullptr ? sqlite3_errmsg(connection) : "out of memory";
        sqlite3_close_v2(connection);
        throw DatabaseError(path + ": " + reason);
    }
    sqlite3_busy_timeout(connection, kBusyTimeoutMilliseconds);
    auto database = std::make_unique<SqliteDatabase>(connection, path);
    if (mode == OpenMode::ReadWrite) database->execute("PRAGMA foreign_keys = ON");
    return database;
}

}  // namespace varnstats
