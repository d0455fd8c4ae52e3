// ResultCache: how the main job's processes cache answers. Base queries go through one
// ReadThroughCache<QueryResult> per process: memory, then the disk cache this machine's workers
// share, then Redis, then the database (the loader). Its keys are the queries' key texts and its
// name is the run's, so that the writer's announcements reach the workers' copies of the same
// query and no other run's. Derived queries go through one DerivedResultCache<QueryResult>
// whose computation reads its parts through the base cache; the library keeps the layers, the
// coherence protocol and the cascade for us, and the host writes the loader and the codec.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "caching/DerivedResultCache.h"
#include "caching/ReadThroughCache.h"
#include "data/QueryCatalogue.h"
#include "data/QueryResult.h"

namespace demo {

class RunnerPool;

using BaseResults = velmora::caching::ReadThroughCache<QueryResult>;
using DerivedResults = velmora::caching::DerivedResultCache<QueryResult>;

// Where an answer came from.
enum class Layer { Memory = 0, Disk = 1, Redis = 2, Sqlite = 3 };
const char* LayerName(Layer layer);

// QueryResult::Encode and Decode: content only, so equal answers give equal bytes.
BaseResults::Codec ResultCodec();

// What the base cache of a worker turns on beyond the layers.
struct CacheFeatures {
    // One load per key across the workers: leases in the Redis the workers share (through the
    // process's pool, a cluster's too). Needs a Redis layer.
    bool leases = false;
    // The last good answer of a key serves when the database fails, and at once when a load
    // takes longer than softTimeoutMs (the load goes on in the background).
    bool failSafe = false;
    unsigned int softTimeoutMs = 50;
    long long failSafeMaxAgeSec = 60;
    // How long stored answers live; the coherence service's horizon caps it.
    long long valueLifetimeSec = 600;
    // A fill whose content is the newest announcement of its key is not announced again.
    bool skipKnownFills = true;
    // While Redis is unheard, an answer loaded meanwhile serves for the silence bound.
    bool holdDeafLoads = true;
    // The memory layer keeps entries by FrequencyPolicy (off: the batched MRU policy).
    bool frequencyPolicy = true;
    // The library's auditor checks a sample of the answers against the database (its window
    // that of the freshness checks). Its re-loads run the Get's loader.
    bool audit = false;
    unsigned int auditWindowMs = 1000;
    // The host's tag invalidations (DemoHost::Tags); null: the cache keeps its own.
    std::shared_ptr<velmora::caching::TagInvalidations> tags;
};

// The base cache of run `runId`, with `memoryEntries` in memory (0: none) over `disk` and
// `redis` (either may be null), announcing through `service` (null: none).
std::unique_ptr<BaseResults> MakeBaseResults(const std::string& runId, int memoryEntries,
                                             velmora::caching::ExternalCachePtr disk,
                                             velmora::caching::ExternalCachePtr redis,
                                             std::shared_ptr<velmora::caching::RedisPubsub> service,
                                             const CacheFeatures& features = {});

// Where a worker gets its answers: the main job's caches (Answerer), or one of the set-ups a
// comparison run measures them against (Baselines.h). Not thread-safe: use from one thread at
// a time.
class AnswerSource {
public:
    struct Answer {
        ResultPtr result;
        // A derived answer built now counts as its deepest part's layer; one held, as memory.
        Layer layer = Layer::Memory;
        // The answer, or a part of it, is a fail-safe one: the last good answer, served because
        // the database failed or was slow.
        bool stale = false;
        // Computed from other answers (whose Gets its latency includes).
        bool derived = false;
    };
    virtual ~AnswerSource() = default;
    // Raises what a failed load raised when no fail-safe answer could stand in.
    virtual Answer Get(int qid) = 0;
    // After Get raised: whether the base query whose load failed had been answered here before.
    virtual bool LastFailureHadAnswer() const { return false; }
};

// Answers catalogue queries through the two caches; a miss of every layer runs the query on a
// runner borrowed from `runners` (the load may run on a thread of the cache's after Get
// returned: the pool must outlive the base cache). A base query's answer is tagged with what it
// read (QueryCatalogue::TagsOf), so that a writer's InvalidateTag of a row it changed drops it.
// `onLoad`, when set, hears of every load that
// returned, with the query's id and the version of the query's rows it read (-1: unknown), on
// the thread that runs it. Not thread-safe: use from one thread at a time.
class Answerer : public AnswerSource {
public:
    Answerer(BaseResults& base, DerivedResults& derived, const QueryCatalogue& catalogue,
             RunnerPool& runners, std::function<void(int qid, std::int64_t version)> onLoad = {});

    Answer Get(int qid) override;
    bool LastFailureHadAnswer() const override { return m_lastFailureHadAnswer; }

private:
    Answer Base(int qid);

    BaseResults& m_base;
    DerivedResults& m_derived;
    const QueryCatalogue& m_catalogue;
    RunnerPool& m_runners;
    const std::function<void(int, std::int64_t)> m_onLoad;
    std::vector<char> m_answered;  // by base query id
    bool m_lastFailureHadAnswer = false;
};

}  // namespace demo
