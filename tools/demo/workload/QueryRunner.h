// QueryRunner: answers catalogue queries from the database, each in one read transaction that
// also reads the version of every base query involved, so that an answer and its versions
// always belong together. Also reads a base query's current version alone, and the history of
// changes the writer recorded (for the freshness checks).
// Not thread-safe: use from one thread at a time (it owns one connection's statements).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "QueryCatalogue.h"
#include "QueryResult.h"
#include "Sqlite.h"

namespace demo {

// DateTime ticks now, and milliseconds now on the same clock.
std::uint64_t NowTicks();
std::int64_t NowMs();

class QueryRunner {
public:
    // Opens its own connection to `dbPath`.
    QueryRunner(const std::string& dbPath, const QueryCatalogue& catalogue);

    // A fresh answer; its timestamp is read before the transaction's first statement, so it
    // precedes every change the answer does not include.
    ResultPtr Compute(int qid);
    // The current version of a base query (0 before its first change).
    std::int64_t Version(int qid);

    // The first change of `qid` after `version`: absent when there is none; its announcement
    // time in ms is empty while the writer has not announced it.
    struct Change {
        std::optional<std::int64_t> announcedAtMs;
    };
    std::optional<Change> FirstChangeAfter(int qid, std::int64_t version);

    SqliteDb& Db() { return m_db; }

private:
    std::vector<Row> RunBase(const Query& query);
    std::int64_t VersionInTransaction(int qid);

    const QueryCatalogue& m_catalogue;
    SqliteDb m_db;
    std::vector<std::unique_ptr<SqliteStatement>> m_statements;  // by query id
    SqliteStatement m_version;
    SqliteStatement m_firstChange;
};

}  // namespace demo
