#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace varnstats {

// A database call that failed; the run stops and says why.
class DatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Backend { Sqlite, Postgres };

// A prepared statement with '?' placeholders, numbered from 1; result columns are numbered from 0.
class Statement {
public:
    virtual ~Statement() = default;
    virtual void bind(int index, std::int64_t value) = 0;
    virtual void bind(int index, std::string_view text) = 0;
    virtual void bindNull(int index) = 0;
    void bind(int index, std::optional<std::int64_t> value) {
        if (value) {
            bind(index, *value);
        } else {
            bindNull(index);
        }
    }
    // Runs the statement on the first call; each call moves to the next result row, false after the last.
    virtual bool next() = 0;
    virtual std::int64_t integer(int column) const = 0;
    virtual std::optional<std::int64_t> optionalInteger(int column) const = 0;
    virtual std::string text(int column) const = 0;
    virtual bool isNull(int column) const = 0;
    std::optional<std::string> optionalText(int column) const {
        if (isNull(column)) return std::nullopt;
        return text(column);
    }
    // Makes the statement ready for new values and a new run.
    virtual void reset() = 0;
    // Runs a statement that returns no rows (inside a transaction it may be sent on without waiting
    // for its answer: a failure shows at the latest at the commit).
    virtual void run() {
        next();
        reset();
    }
};

class Database {
public:
    virtual ~Database() = default;
    virtual Backend backend() const = 0;
    // Statements without parameters, one or several separated by ';'.
    virtual void execute(std::string_view sql) = 0;
    virtual std::unique_ptr<Statement> prepare(std::string_view sql) = 0;
    virtual bool hasTable(std::string_view name) = 0;
    // Keeps every other ingest of this database waiting until this connection ends.
    virtual void lockForIngest() = 0;
    // Where the database lives, for messages (never with a password).
    virtual std::string description() const = 0;
    // The file that holds the database, when it is one.
    virtual std::optional<std::string> filePath() const { return std::nullopt; }

    virtual void begin() { execute("BEGIN"); }
    virtual void commit() { execute("COMMIT"); }
    virtual void rollback() { execute("ROLLBACK"); }
};

enum class OpenMode { ReadWrite, ReadOnly };

inline constexpr std::string_view kDefaultDatabase = "stats.sqlite";

bool isPostgresLocation(std::string_view location);
// A file name opens SQLite (created with mode 0600 when missing, unless read-only); a
// "postgresql://" URL opens PostgreSQL. Throws DatabaseError.
std::unique_ptr<Database> openDatabase(const std::string& location, OpenMode mode);

std::unique_ptr<Database> openSqlite(const std::string& path, OpenMode mode);
std::unique_ptr<Database> openPostgres(const std::string& url, OpenMode mode);

}  // namespace varnstats
