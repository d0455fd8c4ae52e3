// Database: the main job's connection to its data, on SQLite (a file, the default) or on
// PostgreSQL (a server, given as a libpq connection string), and Statement, a prepared statement
// on it. SQL is written once, in SQLite's dialect with numbered parameters ("?1") or plain ones
// ("?"); on PostgreSQL the parameters become "$N", INTEGER columns BIGINT, BLOB BYTEA, a plain
// BEGIN a repeatable-read transaction (so that the reads of one transaction see one snapshot, as
// they do on SQLite) and BEGIN IMMEDIATE a plain BEGIN. Statements whose dialects differ beyond
// that ask IsPostgres. Failures raise std::runtime_error with the database's message.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace demo {

// One backend's statement (see Statement).
class StatementBackend {
public:
    virtual ~StatementBackend() = default;
    virtual void Bind(int index, std::int64_t value) = 0;
    virtual void BindNull(int index) = 0;
    virtual void BindBlob(int index, const std::vector<unsigned char>& bytes) = 0;
    virtual bool Step() = 0;
    virtual std::int64_t Column(int index) const = 0;
    virtual bool ColumnIsNull(int index) const = 0;
    virtual std::vector<unsigned char> ColumnBlob(int index) const = 0;
    virtual int ColumnCount() const = 0;
    virtual int ParameterCount() const = 0;
    virtual void Reset() = 0;
};

// One backend's connection (see Database).
class DatabaseBackend {
public:
    virtual ~DatabaseBackend() = default;
    virtual void Exec(const std::string& sql) = 0;
    virtual std::unique_ptr<StatementBackend> Prepare(const std::string& sql) = 0;
    // SQLite's own handle (for tests that look at its statements); null on a server.
    virtual sqlite3* SqliteHandle() { return nullptr; }
};

class Database {
public:
    // Whether `where` names a PostgreSQL server ("postgresql://..." or "key=value ..."), not a
    // file.
    static bool IsServer(const std::string& where);
    // Opens the SQLite file at `where` (creating it when missing), or connects to the server.
    explicit Database(const std::string& where);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void Exec(const std::string& sql);
    // The first column of the first row of `sql` (0 when it returns no row or NULL).
    std::int64_t QueryInt(const std::string& sql);
    bool IsPostgres() const { return m_postgres; }
    DatabaseBackend& Backend() { return *m_backend; }

private:
    bool m_postgres;
    std::unique_ptr<DatabaseBackend> m_backend;
};

class Statement {
public:
    Statement(Database& db, const std::string& sql) : m_backend(db.Backend().Prepare(sql)) {}

    // Binds parameter `index` (1-based).
    void Bind(int index, std::int64_t value) { m_backend->Bind(index, value); }
    void BindNull(int index) { m_backend->BindNull(index); }
    void BindBlob(int index, const std::vector<unsigned char>& bytes) {
        m_backend->BindBlob(index, bytes);
    }
    // Steps once: true while a row is ready.
    bool Step() { return m_backend->Step(); }
    std::int64_t Column(int index) const { return m_backend->Column(index); }
    bool ColumnIsNull(int index) const { return m_backend->ColumnIsNull(index); }
    std::vector<unsigned char> ColumnBlob(int index) const { return m_backend->ColumnBlob(index); }
    int ColumnCount() const { return m_backend->ColumnCount(); }
    int ParameterCount() const { return m_backend->ParameterCount(); }
    // Ready to run again; bindings are kept.
    void Reset() { m_backend->Reset(); }

private:
    std::unique_ptr<StatementBackend> m_backend;
};

// A PostgreSQL connection (data/Postgres.cpp).
std::unique_ptr<DatabaseBackend> ConnectPostgres(const std::string& conninfo);
// An SQLite connection (data/Sqlite.cpp).
std::unique_ptr<DatabaseBackend> OpenSqlite(const std::string& path);

}  // namespace demo
