// ResultCache: how the main job's processes cache answers. Base queries go through one
// ReadThroughCache<QueryResult> per process: memory, then the disk cache this machine's workers
// share, then Redis, then the database (the loader). Its keys are the queries' key texts and its
// name is the run's, so that the writer's announcements reach the workers' copies of the same
// query and no other run's. Derived queries go through one DerivedResultCache<QueryResult>
// whose computation reads its parts through the base cache; the library keeps the layers, the
// coherence protocol and the cascade for us, and the host writes the loader and the codec.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "QueryCatalogue.h"
#include "QueryResult.h"
#include "caching/DerivedResultCache.h"
#include "caching/ReadThroughCache.h"

namespace demo {

class QueryRunner;

using BaseResults = velmora::caching::ReadThroughCache<QueryResult>;
using DerivedResults = velmora::caching::DerivedResultCache<QueryResult>;

// Where an answer came from.
enum class Layer { Memory = 0, Disk = 1, Redis = 2, Sqlite = 3 };
const char* LayerName(Layer layer);

// QueryResult::Encode and Decode: content only, so equal answers give equal bytes.
BaseResults::Codec ResultCodec();

// The base cache of run `runId`, with `memoryEntries` in memory (0: none) over `disk` and
// `redis` (either may be null), announcing through `service` (null: none).
std::unique_ptr<BaseResults> MakeBaseResults(
    const std::string& runId, int memoryEntries, velmora::caching::ExternalCachePtr disk,
    velmora::caching::ExternalCachePtr redis,
    std::shared_ptr<velmora::caching::RedisPubsub> service);

// Answers catalogue queries through the two caches; a miss of every layer runs the query on
// `runner`. Not thread-safe: use from one thread at a time (the runner's connection is one).
class Answerer {
public:
    Answerer(BaseResults& base, DerivedResults& derived, const QueryCatalogue& catalogue,
             QueryRunner& runner)
        : m_base(base), m_derived(derived), m_catalogue(catalogue), m_runner(runner) {}

    struct Answer {
        ResultPtr result;
        // A derived answer built now counts as its deepest part's layer; one held, as memory.
        Layer layer = Layer::Memory;
    };
    Answer Get(int qid);

private:
    Answer Base(int qid);

    BaseResults& m_base;
    DerivedResults& m_derived;
    const QueryCatalogue& m_catalogue;
    QueryRunner& m_runner;
};

}  // namespace demo
