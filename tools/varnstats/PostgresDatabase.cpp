#include <libpq-fe.h>

#include <charconv>
#include <vector>

#include "Database.h"

namespace varnstats {

namespace {

// One number for every varnstats ingest of a database: pg_advisory_lock's key.
constexpr long long kIngestLockKey = 0x7661726E73746174LL;  // "varnstat"

std::string connectionError(PGconn* connection) {
    std::string message = PQerrorMessage(connection);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    return "PostgreSQL: " + message;
}

void ignoreNotice(void*, const char*) {}

// "?" placeholders become "$1", "$2", ... (the statements of this program hold no "?" in text).
std::string numberedPlaceholders(std::string_view sql) {
    std::string text;
    int number = 0;
    for (const char c : sql) {
        if (c == '?') {
            text += '$' + std::to_string(++number);
        } else {
            text += c;
        }
    }
    return text;
}

class PostgresDatabase;

class PostgresStatement final : public Statement {
public:
    PostgresStatement(PostgresDatabase& database, PGconn* connection, std::string name, int parameters)
        : database_(database),
          connection_(connection),
          name_(std::move(name)),
          values_(static_cast<std::size_t>(parameters)) {}
    ~PostgresStatement() override { PQclear(result_); }

    void bind(int index, std::int64_t value) override { slot(index) = std::to_string(value); }
    void bind(int index, std::string_view text) override { slot(index) = std::string(text); }
    void bindNull(int index) override { slot(index).reset(); }

    bool next() override;
    void run() override;
    std::int64_t integer(int column) const override { return optionalInteger(column).value_or(0); }
    std::optional<std::int64_t> optionalInteger(int column) const override {
        if (PQgetisnull(result_, row_, column) != 0) return std::nullopt;
        const char* text = PQgetvalue(result_, row_, column);
        const int length = PQgetlength(result_, row_, column);
        std::int64_t value = 0;
        std::from_chars(text, text + length, value);
        return value;
    }
    std::string text(int column) const override {
        return std::string(PQgetvalue(result_, row_, column),
                           static_cast<std::size_t>(PQgetlength(result_, row_, column)));
    }
    bool isNull(int column) const override { return PQgetisnull(result_, row_, column) != 0; }
    void reset() override {
        PQclear(result_);
        result_ = nullptr;
        row_ = -1;
        for (auto& value : values_) value.reset();
    }

private:
    std::optional<std::string>& slot(int index) {
        if (index < 1 || static_cast<std::size_t>(index) > values_.size()) {
            throw DatabaseError("PostgreSQL: parameter " + std::to_string(index) + " out of range");
        }
        return values_[static_cast<std::size_t>(index - 1)];
    }

    std::vector<const char*> pointers() const {
        std::vector<const char*> pointers;
        pointers.reserve(values_.size());
        for (const auto& value : values_) pointers.push_back(value ? value->c_str() : nullptr);
        return pointers;
    }

    void execute();

    PostgresDatabase& database_;
    PGconn* connection_;
    std::string name_;
    std::vector<std::optional<std::string>> values_;
    PGresult* result_ = nullptr;
    int row_ = -1;
};

// Inside a transaction, statements without rows go out in libpq's pipeline mode: sent one after the
// other, their answers read in bulk at the next sync point, instead of one round trip each.
class PostgresDatabase final : public Database {
public:
    explicit PostgresDatabase(PGconn* connection) : connection_(connection) {}
    ~PostgresDatabase() override { PQfinish(connection_); }

    Backend backend() const override { return Backend::Postgres; }

    void execute(std::string_view sql) override {
        leavePipeline();
        PGresult* result = PQexec(connection_, std::string(sql).c_str());
        const ExecStatusType status = PQresultStatus(result);
        PQclear(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw DatabaseError(connectionError(connection_));
    }

    std::unique_ptr<Statement> prepare(std::string_view sql) override {
        leavePipeline();
        const std::string name = "varnstats_" + std::to_string(++statements_);
        const std::string text = numberedPlaceholders(sql);
        int parameters = 0;
        for (const char c : sql) parameters += c == '?' ? 1 : 0;
        PGresult* result = PQprepare(connection_, name.c_str(), text.c_str(), 0, nullptr);
        const ExecStatusType status = PQresultStatus(result);
        PQclear(result);
        if (status != PGRES_COMMAND_OK) throw DatabaseError(connectionError(connection_));
        return std::make_unique<PostgresStatement>(*this, connection_, name, parameters);
    }

    bool hasTable(std::string_view name) override {
        auto statement = prepare(
            "SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema() AND "
            "table_name = ?");
        statement->bind(1, name);
        return statement->next() && statement->integer(0) > 0;
    }

    void lockForIngest() override {
        execute("SELECT pg_advisory_lock(" + std::to_string(kIngestLockKey) + ")");
    }

    std::string description() const override {
        const char* host = PQhost(connection_);
        return std::string("postgresql://") + PQuser(connection_) + "@" + (host != nullptr ? host : "") +
               ":" + PQport(connection_) + "/" + PQdb(connection_);
    }

    void begin() override {
        execute("BEGIN");
        inTransaction_ = true;
    }
    void commit() override {
        execute("COMMIT");
        inTransaction_ = false;
    }
    void rollback() override {
        inTransaction_ = false;
        try {
            leavePipeline();
        } catch (const DatabaseError&) {
            // The statement that failed is why the transaction goes; ROLLBACK follows.
        }
        execute("ROLLBACK");
    }

    // Sends a statement without rows on without waiting, inside a transaction; false outside one.
    bool sendWithoutWaiting(const std::string& name, const std::vector<const char*>& values) {
        if (!inTransaction_) return false;
        if (!pipelined_) {
            if (PQenterPipelineMode(connection_) != 1) throw DatabaseError(connectionError(connection_));
            pipelined_ = true;
        }
        if (PQsendQueryPrepared(connection_, name.c_str(), static_cast<int>(values.size()), values.data(),
                                nullptr, nullptr, 0) != 1) {
            throw DatabaseError(connectionError(connection_));
        }
        // Answers are read now and then, so neither side's buffers fill up while the other waits.
        if (++queued_ >= kQueuedBeforeSync) synchronize();
        return true;
    }

    // Reads every answer up to a sync point; the first failure among them is thrown.
    void synchronize() {
        if (!pipelined_ || queued_ == 0) return;
        queued_ = 0;
        if (PQpipelineSync(connection_) != 1) throw DatabaseError(connectionError(connection_));
        std::string failure;
        while (true) {
            PGresult* result = PQgetResult(connection_);
            if (result == nullptr) {
                if (PQstatus(connection_) == CONNECTION_BAD)
                    throw DatabaseError(connectionError(connection_));
                continue;
            }
            const ExecStatusType status = PQresultStatus(result);
            if (status == PGRES_FATAL_ERROR && failure.empty()) failure = PQresultErrorMessage(result);
            PQclear(result);
            if (status == PGRES_PIPELINE_SYNC) break;
        }
        if (!failure.empty()) {
            while (!failure.empty() && (failure.back() == '\n' || failure.back() == ' ')) failure.pop_back();
            throw DatabaseError("PostgreSQL: " + failure);
        }
    }

    void leavePipeline() {
        if (!pipelined_) return;
        synchronize();
        PQexitPipelineMode(connection_);
        pipelined_ = false;
    }

private:
    static constexpr int kQueuedBeforeSync = 1000;

    PGconn* connection_;
    int statements_ = 0;
    bool inTransaction_ = false;
    bool pipelined_ = false;
    int queued_ = 0;
};

bool PostgresStatement::next() {
    if (result_ == nullptr) execute();
    return ++row_ < PQntuples(result_);
}

void PostgresStatement::run() {
    if (!database_.sendWithoutWaiting(name_, pointers())) execute();
    reset();
}

void PostgresStatement::execute() {
    database_.leavePipeline();
    const std::vector<const char*> values = pointers();
    result_ = PQexecPrepared(connection_, name_.c_str(), static_cast<int>(values.size()), values.data(),
                             nullptr, nullptr, 0);
    const ExecStatusType status = PQresultStatus(result_);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const std::string message = connectionError(connection_);
        PQclear(result_);
        result_ = nullptr;
        throw DatabaseError(message);
    }
    row_ = -1;
}

// A password in the URL would show in process lists and unit files; libpq's password file or
// service file provides it instead.
void refusePassword(const std::string& url) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
    if (options == nullptr) {
        const std::string reason = error != nullptr ? error : "cannot read the URL";
        PQfreemem(error);
        throw DatabaseError("PostgreSQL: " + reason);
    }
    bool hasPassword = false;
    for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (std::string_view(option->keyword) == "password" && option->val != nullptr) hasPassword = true;
    }
    PQconninfoFree(options);
    if (hasPassword) {
        throw DatabaseError(
            "PostgreSQL: the URL holds a password; leave it out and put it in the password file (~/.pgpass "
            "or "
            "PGPASSFILE) or a service file");
    }
}

}  // namespace

std::unique_ptr<Database> openPostgres(const std::string& url, OpenMode mode) {
    refusePassword(url);
    PGconn* connection = PQconnectdb(url.c_str());
    if (connection == nullptr) throw DatabaseError("PostgreSQL: out of memory");
    if (PQstatus(connection) != CONNECTION_OK) {
        const std::string message = connectionError(connection);
        PQfinish(connection);
        throw DatabaseError(message);
    }
    PQsetNoticeProcessor(connection, ignoreNotice, nullptr);
    if (PQsetClientEncoding(connection, "UTF8") != 0) {
        const std::string message = connectionError(connection);
        PQfinish(connection);
        throw DatabaseError(message);
    }
    auto database = std::make_unique<PostgresDatabase>(connection);
    database->execute("SET lock_timeout = '300s'");
    if (mode == OpenMode::ReadOnly) database->execute("SET default_transaction_read_only = on");
    return database;
}

bool isPostgresLocation(std::string_view location) {
    return location.substr(0, 13) == "postgresql://" || location.substr(0, 11) == "postgres://";
}

std::unique_ptr<Database> openDatabase(const std::string& location, OpenMode mode) {
    if (isPostgresLocation(location)) return openPostgres(location, mode);
    return openSqlite(location, mode);
}

}  // namespace varnstats
