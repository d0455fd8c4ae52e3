// Sqlite: the two handles the demo host needs from the embedded database, an open connection and
// a prepared statement, each closed by its destructor. Failures raise std::runtime_error with
// the database's message.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace demo {

class SqliteDb {
public:
    // Opens (creating when missing) the database at `path` in WAL mode, so that the writer
    // process never blocks the readers; waits up to 5 s for a lock held by another process.
    // Before the process's first connection, asks SQLite to avoid large allocations (its sorter
    // then works in small blocks), which a long-running process's allocator keeps when freed.
    explicit SqliteDb(const std::string& path);
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    void Exec(const std::string& sql);
    // The first column of the first row of `sql` (0 when it returns no row or NULL). The
    // statement is finished before this returns: a statement left stepped holds its read
    // snapshot open, and in WAL mode no checkpoint then gets past it, so the log grows for good.
    std::int64_t QueryInt(const std::string& sql);
    sqlite3* Handle() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
};

class SqliteStatement {
public:
    SqliteStatement(SqliteDb& db, const std::string& sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // Binds parameter `index` (1-based).
    void Bind(int index, std::int64_t value);
    void BindNull(int index);
    void BindBlob(int index, const std::vector<unsigned char>& bytes);
    // Steps once: true while a row is ready.
    bool Step();
    std::int64_t Column(int index) const;
    bool ColumnIsNull(int index) const;
    std::vector<unsigned char> ColumnBlob(int index) const;
    int ColumnCount() const;
    int ParameterCount() const;
    // Ready to run again; bindings are kept.
    void Reset();

private:
    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

}  // namespace demo
