// QueryRunner: answers catalogue queries from the database, each in one read transaction that
// also reads the version of every base query involved, so that an answer and its versions
// always belong together. Also reads a base query's current version alone, runs a base query
// inside a transaction the caller opened (for the writer's records), and reads what the writer
// recorded about the base queries an answer was computed from (for the freshness checks).
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

    // A fresh answer, its rows and versions read in one transaction.
    ResultPtr Compute(int qid);
    // The current version of a base query (0 before its first change).
    std::int64_t Version(int qid);
    // The rows of base query `qid`, read in the transaction open on Db() (or alone if none is).
    std::vector<Row> Rows(int qid);
    // The rows of query `qid` from the rows of its base queries, in the order of its versions:
    // a base query's own rows, or a derived query's combination of its components'.
    std::vector<Row> RowsFromParts(int qid, const std::vector<std::vector<Row>>& parts) const;

    // What the writer recorded about the base queries (the "parts") an answer was computed
    // from, read in one transaction; parts are numbered as the answer's versions.
    struct RecordedChange {
        std::int64_t update = 0;  // the writer's update; updates commit in ascending order
        std::size_t part = 0;
        std::int64_t committedAtMs = 0;
        std::optional<std::int64_t> announcedAtMs;  // empty while unannounced
        std::optional<std::vector<Row>> rows;       // the part's rows it left; empty if unknown
    };
    struct History {
        // Each part's rows at the answer's version of it; empty where nothing says.
        std::vector<std::optional<std::vector<Row>>> rowsAtVersion;
        std::vector<std::vector<Row>> rowsNow;
        // Every change of a part after the answer's version of it, by ascending update.
        std::vector<RecordedChange> changes;
    };
    History HistoryOf(const QueryResult& answer);

    SqliteDb& Db() { return m_db; }

private:
    std::vector<Row> RunBase(const Query& query);
    std::int64_t VersionInTransaction(int qid);

    const QueryCatalogue& m_catalogue;
    SqliteDb m_db;
    std::vector<std::unique_ptr<SqliteStatement>> m_statements;  // by query id
    SqliteStatement m_version;
    SqliteStatement m_rowsAt;
    SqliteStatement m_changesAfter;
};

}  // namespace demo
