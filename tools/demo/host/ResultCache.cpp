#include "host/ResultCache.h"

#include <algorithm>

#include "caching/LoadLeases.h"
#include "data/QueryRunner.h"
#include "velredis/RedisConnectionPool.h"

using namespace velmora::caching;

namespace demo {

const char* LayerName(Layer layer) {
    static const char* const names[] = {"memory", "disk", "redis", "sqlite"};
    return names[static_cast<int>(layer)];
}

BaseResults::Codec ResultCodec() {
    return {[](const QueryResult& result) { return result.Encode(); },
            [](const unsigned char* data, std::size_t size) -> BaseResults::ValuePtr {
                auto decoded = QueryResult::Decode(data, size);
                if (!decoded) return nullptr;
                return std::make_shared<const QueryResult>(std::move(*decoded));
            }};
}

std::unique_ptr<BaseResults> MakeBaseResults(const std::string& runId, int memoryEntries,
                                             ExternalCachePtr disk, ExternalCachePtr redis,
                                             std::shared_ptr<RedisPubsub> service,
                                             const CacheFeatures& features) {
    ReadThroughOptions options;
    options.name = "VelDemo." + runId + ".results";
    options.memoryEntries = std::max(memoryEntries, 0);
    options.valueLifetimeSec = features.valueLifetimeSec;
    options.skipKnownFills = features.skipKnownFills;
    options.holdDeafLoads = features.holdDeafLoads;
    options.frequencyPolicy = features.frequencyPolicy;
    options.audit = features.audit;
    options.auditWindowMs = features.auditWindowMs;
    options.tags = features.tags;
    // The lease holder stores into Redis (the last layer), which the others poll.
    if (features.leases && redis)
        options.leases = std::make_shared<RedisLoadLeases>(RedisConnectionPool::GetSharedInstance(),
                                                           "VelDemo.lease:");
    if (features.failSafe) {
        options.failSafe = true;
        options.failSafeMaxAgeSec = features.failSafeMaxAgeSec;
        options.softTimeoutMs = features.softTimeoutMs;
        // A key announced as changed is never answered from its old value (the default, said
        // here because the freshness checks rely on it).
        options.failSafeAfterChange = false;
    }
    // In the order of Layer: disk first, it is local.
    options.layers = {std::move(disk), std::move(redis)};
    return std::make_unique<BaseResults>(std::move(options), ResultCodec(), std::move(service));
}

Answerer::Answerer(BaseResults& base, DerivedResults& derived, const QueryCatalogue& catalogue,
                   RunnerPool& runners, std::function<void(int qid, std::int64_t version)> onLoad)
    : m_base(base),
      m_derived(derived),
      m_catalogue(catalogue),
      m_runners(runners),
      m_onLoad(std::move(onLoad)),
      m_answered(catalogue.Size(), 0) {}

Answerer::Answer Answerer::Base(int qid) {
    // Copied into the cache: it may run on another thread, after this Get returned.
    const auto load = [runners = &m_runners, catalogue = &m_catalogue, onLoad = m_onLoad, qid] {
        for (const std::string& tag : catalogue->TagsOf(qid)) velmora::caching::TagLoad(tag);
        ResultPtr result = runners->Acquire()->Compute(qid);
        if (onLoad) {
            std::int64_t version = -1;
            for (const auto& [id, v] : result->versions)
                if (id == qid) version = v;
            onLoad(qid, version);
        }
        return result;
    };
    BaseResults::Result got;
    try {
        got = m_base.Get(m_catalogue.Get(qid).key, load);
    } catch (...) {
        m_lastFailureHadAnswer = m_answered.at(static_cast<std::size_t>(qid)) != 0;
        throw;
    }
    m_answered.at(static_cast<std::size_t>(qid)) = 1;
    Answer answer;
    answer.result = got.value;
    answer.stale = got.stale;
    switch (got.source) {
        case ReadThroughSource::Memory:
        case ReadThroughSource::FailSafe:  // held here, like a memory answer
            answer.layer = Layer::Memory;
            break;
        case ReadThroughSource::External:
            answer.layer = got.layer == 0 ? Layer::Disk : Layer::Redis;
            break;
        case ReadThroughSource::Loader:
            answer.layer = Layer::Sqlite;
            break;
    }
    return answer;
}

Answerer::Answer Answerer::Get(int qid) {
    const Query& query = m_catalogue.Get(qid);
    if (!query.Derived()) return Base(qid);
    Layer deepest = Layer::Memory;
    bool stale = false;
    const DerivedResults::Result got = m_derived.Get(query.key, [&] {
        auto result = std::make_shared<QueryResult>();
        result->qid = qid;
        std::vector<ResultPtr> parts;
        std::vector<const std::vector<Row>*> rows;
        for (const int part : query.components) {
            const Answer answer = Base(part);
            deepest = std::max(deepest, answer.layer);
            stale = stale || answer.stale;
            result->versions.push_back(answer.result->versions.at(0));
            parts.push_back(answer.result);
            rows.push_back(&parts.back()->rows);
        }
        result->rows = ShareRows(rows);
        return ResultPtr(std::move(result));
    });
    // A derived answer built from a fail-safe part is not kept (the part's use is not recorded).
    return {got.value, got.held ? Layer::Memory : deepest, !got.held && stale, true};
}

}  // namespace demo
