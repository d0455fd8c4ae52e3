#include "data/Sqlite.h"

#include "data/Database.h"

#include <sqlite3.h>

#include <mutex>
#include <stdexcept>

namespace demo {

namespace {

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
    throw std::runtime_error(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

// SQLite's sorter (GROUP BY and ORDER BY without a matching index) grows one buffer by doubling
// up to the page cache's size, 2 MiB here, on whichever thread runs the query. glibc serves a
// freed block that large by raising its mmap threshold to it and keeping up to twice that at the
// top of every arena, so a long-running host with a pool of threads may keep MiBs of freed
// sort buffers resident. Asked before the first connection, SQLite sorts in small blocks instead.
void PreferSmallAllocations() {
    static std::once_flag once;
    std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_SMALL_MALLOC, 1); });
}

}  // namespace

SqliteDb::SqliteDb(const std::string& path) {
    PreferSmallAllocations();
    if (sqlite3_open(path.c_str(), &m_db) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw std::runtime_error("cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(m_db, 5000);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
}

SqliteDb::~SqliteDb() {
    sqlite3_close(m_db);
}

void SqliteDb::Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(sql + ": " + message);
    }
}

std::int64_t SqliteDb::QueryInt(const std::string& sql) {
    SqliteStatement statement(*this, sql);
    const std::int64_t value = statement.Step() ? statement.Column(0) : 0;
    statement.Reset();
    return value;
}

SqliteStatement::SqliteStatement(SqliteDb& db, const std::string& sql) : m_db(db.Handle()) {
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &m_statement, nullptr) != SQLITE_OK)
        Fail(m_db, sql);
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(m_statement);
}

void SqliteStatement::Bind(int index, std::int64_t value) {
    if (sqlite3_bind_int64(m_statement, index, value) != SQLITE_OK) Fail(m_db, "bind");
}

void SqliteStatement::BindNull(int index) {
    if (sqlite3_bind_null(m_statement, index) != SQLITE_OK) Fail(m_db, "bind");
}

void SqliteStatement::BindBlob(int index, const std::vector<unsigned char>& bytes) {
    // An empty vector's data() may be null, which would bind NULL instead of an empty blob.
    static const unsigned char kNone = 0;
    if (sqlite3_bind_blob64(m_statement, index, bytes.empty() ? &kNone : bytes.data(), bytes.size(),
                            SQLITE_TRANSIENT) != SQLITE_OK)
        Fail(m_db, "bind");
}

bool SqliteStatement::Step() {
    const int rc = sqlite3_step(m_statement);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const std::string sql = sqlite3_sql(m_statement);
    sqlite3_reset(m_statement);
    Fail(m_db, sql);
}

std::int64_t SqliteStatement::Column(int index) const {
    return sqlite3_column_int64(m_statement, index);
}

bool SqliteStatement::ColumnIsNull(int index) const {
    return sqlite3_column_type(m_statement, index) == SQLITE_NULL;
}

std::vector<unsigned char> SqliteStatement::ColumnBlob(int index) const {
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(m_statement, index));
    const int size = sqlite3_column_bytes(m_statement, index);
    return bytes ? std::vector<unsigned char>(bytes, bytes + size) : std::vector<unsigned char>();
}

int SqliteStatement::ColumnCount() const {
    return sqlite3_column_count(m_statement);
}

int SqliteStatement::ParameterCount() const {
    return sqlite3_bind_parameter_count(m_statement);
}

void SqliteStatement::Reset() {
    sqlite3_reset(m_statement);
}

}  // namespace demo

namespace demo {

namespace {

class SqliteStatementBackend : public StatementBackend {
public:
    SqliteStatementBackend(SqliteDb& db, const std::string& sql) : m_statement(db, sql) {}
    void Bind(int index, std::int64_t value) override { m_statement.Bind(index, value); }
    void BindNull(int index) override { m_statement.BindNull(index); }
    void BindBlob(int index, const std::vector<unsigned char>& bytes) override {
        m_statement.BindBlob(index, bytes);
    }
    bool Step() override { return m_statement.Step(); }
    std::int64_t Column(int index) const override { return m_statement.Column(index); }
    bool ColumnIsNull(int index) const override { return m_statement.ColumnIsNull(index); }
    std::vector<unsigned char> ColumnBlob(int index) const override {
        return m_statement.ColumnBlob(index);
    }
    int ColumnCount() const override { return m_statement.ColumnCount(); }
    int ParameterCount() const override { return m_statement.ParameterCount(); }
    void Reset() override { m_statement.Reset(); }

private:
    SqliteStatement m_statement;
};

class SqliteBackend : public DatabaseBackend {
public:
    explicit SqliteBackend(const std::string& path) : m_db(path) {}
    void Exec(const std::string& sql) override { m_db.Exec(sql); }
    std::unique_ptr<StatementBackend> Prepare(const std::string& sql) override {
        return std::make_unique<SqliteStatementBackend>(m_db, sql);
    }
    sqlite3* SqliteHandle() override { return m_db.Handle(); }

private:
    SqliteDb m_db;
};

}  // namespace

std::unique_ptr<DatabaseBackend> OpenSqlite(const std::string& path) {
    return std::make_unique<SqliteBackend>(path);
}

}  // namespace demo
