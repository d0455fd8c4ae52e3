// ResultCache: a worker's road to the answer of a base query. First the in-memory
// SynchronizedIndexedCache (indexed by query key and by the tables a query reads, registered
// with the coherence service), then the external caches (the disk cache this machine's workers
// share, then Redis), then the database. Every answer that comes from below memory is added to
// memory and announced (OnAdded); replaced and purged entries are reported (OnRemoved). Every
// entry used is reported to the current cascade scope.
//
// External keys carry the base query's version, so an external cache never answers with an
// older version than the one read just before. One race remains that the coherence service
// cannot see: an answer produced before a change whose announcement arrived before the answer
// was added. The cache closes it by reading the version again after announcing; an entry whose
// version moved is dropped at once (counted as "fill.raced").
//
// Not thread-safe: one query thread per worker uses it; the coherence service's delivery thread
// reaches only the in-memory cache, which is safe for concurrent use.
#pragma once

#include <memory>
#include <vector>

#include "DemoHost.h"
#include "QueryRunner.h"
#include "Stats.h"
#include "utility/SynchronizedIndexedCache.h"

namespace demo {

enum class Layer { Memory = 0, Disk = 1, Redis = 2, Sqlite = 3 };
const char* LayerName(Layer layer);

class ResultCache {
public:
    ResultCache(DemoHost& host, const QueryCatalogue& catalogue, QueryRunner& runner, Stats& stats);
    // Tells the coherence service the cache is going away.
    ~ResultCache();
    ResultCache(const ResultCache&) = delete;
    ResultCache& operator=(const ResultCache&) = delete;

    struct Answer {
        ResultPtr result;
        Layer layer = Layer::Memory;
        unsigned int guid = 0;  // the memory entry that holds the answer; 0 when none does
    };
    Answer Get(int qid);

    // Entries the coherence service has dropped so far.
    std::int64_t Invalidations() const;
    // Whether the memory entry is still held (marks it used).
    bool StillHeld(unsigned int guid);
    // Every answer held in memory now.
    std::vector<ResultPtr> HeldResults() const;
    // Entries held per set of tables read.
    std::vector<std::pair<std::string, std::size_t>> EntriesByTables() const;

private:
    class MemoryCache;
    ResultPtr LoadExternal(const Query& query, std::int64_t version, Layer& layer);
    unsigned int Fill(const ResultPtr& result);
    void ReportRemoved(const CacheHelpers::EntrySet& entries);

    DemoHost& m_host;
    const QueryCatalogue& m_catalogue;
    QueryRunner& m_runner;
    Stats& m_stats;
    std::shared_ptr<MemoryCache> m_memory;
    std::vector<std::shared_ptr<CacheHelpers::EntryPredicate>> m_byQuery;  // by query id
    std::vector<unsigned int> m_hints;                                     // by query id
};

}  // namespace demo
