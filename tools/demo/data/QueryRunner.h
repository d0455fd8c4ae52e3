// QueryRunner: answers catalogue queries from the database, each in one read transaction that
// also reads the version of every base query involved, so that an answer and its versions
// always belong together. Also reads a base query's current version alone, runs a base query
// inside a transaction the caller opened (for the writer's records), and reads what the writer
// recorded about the base queries an answer was computed from (for the freshness checks).
// Not thread-safe: use from one thread at a time (it owns one connection's statements).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "data/Database.h"
#include "data/QueryCatalogue.h"
#include "data/QueryResult.h"

namespace demo {

// DateTime ticks now, and milliseconds now on the same clock.
std::uint64_t NowTicks();
std::int64_t NowMs();

// A database outage as the workers' loads meet it: while it lasts, a query waits as a reader
// facing another connection's exclusive lock does, until the lock goes or its busy time-out
// passes, and then fails with "database is locked". The parent of a run begins and ends it.
// Safe for concurrent use.
class DatabaseOutage {
public:
    explicit DatabaseOutage(std::chrono::milliseconds busyTimeout) : m_busyTimeout(busyTimeout) {}
    void Begin();
    void End();
    bool Active() const;
    // Returns at once when there is no outage; otherwise waits for its end, at most the busy
    // time-out, and raises std::runtime_error when it still lasts.
    void Gate() const;

private:
    const std::chrono::milliseconds m_busyTimeout;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_ended;
    bool m_active = false;  // guarded by m_mutex
};

class QueryRunner {
public:
    // Opens its own connection to `dbPath`. Its answers (Compute) pass `outage`'s gate when one
    // is given (it must outlive the runner).
    QueryRunner(const std::string& dbPath, const QueryCatalogue& catalogue,
                const DatabaseOutage* outage = nullptr);

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

    Database& Db() { return m_db; }

private:
    std::vector<Row> RunBase(const Query& query);
    std::int64_t VersionInTransaction(int qid);

    const QueryCatalogue& m_catalogue;
    const DatabaseOutage* m_outage;
    Database m_db;
    // By Query::statement: one per distinct SQL text, bound anew for each query. A statement
    // per query would hold the catalogue's few hundred compiled programs in every connection,
    // about 1 MiB, reached only as the rarest queries come up: a slow climb for hours.
    std::vector<std::unique_ptr<Statement>> m_statements;
    Statement m_version;
    Statement m_rowsAt;
    Statement m_changesAfter;
};

}  // namespace demo

namespace demo {

// Runners for loads that may run on any thread: each caller borrows one (its own connection
// and statements) for the length of one load and gives it back; a runner is opened when none
// is free, and at most kKeptIdle of those given back are kept open for the next loads (a burst
// of loads, as when the cache's store comes back after a fault, opens connections that close
// again after it). Safe for concurrent use; the pool must outlive the leases it hands out.
class RunnerPool {
public:
    static constexpr std::size_t kKeptIdle = 4;

    RunnerPool(std::string dbPath, const QueryCatalogue& catalogue,
               const DatabaseOutage* outage = nullptr)
        : m_dbPath(std::move(dbPath)), m_catalogue(catalogue), m_outage(outage) {}

    class Lease {
    public:
        Lease(RunnerPool& pool, std::unique_ptr<QueryRunner> runner)
            : m_pool(pool), m_runner(std::move(runner)) {}
        ~Lease() { m_pool.GiveBack(std::move(m_runner)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        QueryRunner* operator->() const { return m_runner.get(); }

    private:
        RunnerPool& m_pool;
        std::unique_ptr<QueryRunner> m_runner;
    };
    Lease Acquire();
    // Runners opened so far.
    std::size_t Opened() const;
    // Runners open now and not lent.
    std::size_t Idle() const;
    // Runners lent so far: the loads that went to the database.
    std::int64_t Leases() const;

private:
    void GiveBack(std::unique_ptr<QueryRunner> runner);

    const std::string m_dbPath;
    const QueryCatalogue& m_catalogue;
    const DatabaseOutage* const m_outage;
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<QueryRunner>> m_free;  // guarded by m_mutex
    std::size_t m_opened = 0;                          // guarded by m_mutex
    std::int64_t m_leases = 0;                         // guarded by m_mutex
};

}  // namespace demo
