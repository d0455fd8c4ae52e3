// Comparison: the set-ups of a comparison run side by side, as a person reads them (a table) and
// as a script reads them (JSON). Each row comes from the workers' added-up stats of one set-up;
// ratios are of answers per second against the database alone and against the first rows of the
// Redis cache-aside and of the in-process cache.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness/Stats.h"
#include "report/Table.h"

namespace demo {

struct ComparisonRow {
    std::string setup;       // SetupName
    long long ttlMs = 0;     // how long the set-up's cached answers live; 0: not a TTL set-up
    double durationSec = 0;  // of its workload
    std::int64_t answers = 0;
    double p50Us = 0;
    double p99Us = 0;
    std::int64_t databaseQueries = 0;  // the workers' loads from the database
    std::int64_t checked = 0;          // answers served from a cache and judged
    std::int64_t staleBeyondWindow = 0;
    // What the workers spent judging (freshness checks, the database-alone samples), on average
    // per worker: the time they answered is the duration less this.
    double judgeSec = 0;
    double cpuSec = 0;   // used by the set-up's processes
    double loadAvg = 0;  // of the machine, the minute before the set-up began

    static ComparisonRow From(std::string setup, long long ttlMs, double durationSec, int processes,
                              const Stats& workers);
    // Over the time the workers spent answering.
    double AnswersPerSec() const {
        const double answering = durationSec - judgeSec;
        return answering > 0 ? static_cast<double>(answers) / answering : 0;
    }
};

class Comparison {
public:
    // `memoryEntries`: the in-memory budget of each worker, the same in every set-up.
    Comparison(std::vector<ComparisonRow> rows, int processes, int memoryEntries)
        : m_rows(std::move(rows)), m_processes(processes), m_memoryEntries(memoryEntries) {}

    std::string Table() const;
    std::string Json() const;
    // The table's rows as the report page shows them, the notes in its caption.
    demo::Table ReportTable() const;
    // Answers per second of `row` over those of the first row of `setup`; 0 when there is none.
    double RatioTo(const ComparisonRow& row, const std::string& setup) const;
    const std::vector<ComparisonRow>& Rows() const { return m_rows; }

private:
    std::vector<ComparisonRow> m_rows;
    int m_processes;
    int m_memoryEntries;
};

// "database alone", "Redis cache-aside", "in-process TTL cache" or "velcache".
std::string SetupTitle(const std::string& setup);
// The title and, for a TTL set-up, how long its answers live: "Redis cache-aside, 30 s".
std::string SetupLabel(const ComparisonRow& row);

}  // namespace demo
