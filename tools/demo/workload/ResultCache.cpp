#include "ResultCache.h"

#include <atomic>
#include <chrono>

#include "caching/CascadeInvalidator.h"

using namespace velmora::caching;

namespace demo {

const char* LayerName(Layer layer) {
    static const char* const names[] = {"memory", "disk", "redis", "sqlite"};
    return names[static_cast<int>(layer)];
}

// The in-memory cache; counts the entries the coherence service drops.
class ResultCache::MemoryCache : public SynchronizedIndexedCache {
public:
    MemoryCache(int limit)
        : SynchronizedIndexedCache(std::make_shared<CacheHelpers::MRUPolicy>(limit),
                                   CacheHelpers::CreateSystemClock()) {}
    // Runs on the thread that found the entries dirty, under the coherence service's lock.
    void OnDirty(const std::vector<unsigned int>& ids) override {
        m_invalidated += static_cast<long long>(ids.size());
        SynchronizedIndexedCache::OnDirty(ids);
    }
    std::atomic<long long> m_invalidated{0};
};

namespace {

TString Text(const std::string& s) {
    return TString::fromStdString(s);
}

// The entry that answers one query; found through the "query" index.
class QueryIs : public CacheHelpers::EntryPredicate {
public:
    QueryIs(int qid, TString key) : m_qid(qid), m_key(std::move(key)) {}
    bool Matches(const CacheHelpers::Entry& entry) override {
        const QueryResult* r = ResultOf(entry.GetData());
        return r && r->qid == m_qid;
    }
    TString GetIndexName() const override { return "query"; }
    TString GetKeyForIndexing() const override { return m_key; }
    bool HasIndex() const override { return true; }

private:
    int m_qid;
    TString m_key;
};

std::vector<unsigned int> Ids(const CacheHelpers::EntrySet& entries) {
    std::vector<unsigned int> ids;
    for (const auto& e : entries) ids.push_back(e.GetID());
    return ids;
}

std::int64_t Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

constexpr unsigned int kExternalWaitMs = 200;

}  // namespace

ResultCache::ResultCache(DemoHost& host, const QueryCatalogue& catalogue, QueryRunner& runner,
                         Stats& stats)
    : m_host(host),
      m_catalogue(catalogue),
      m_runner(runner),
      m_stats(stats),
      m_memory(std::make_shared<MemoryCache>(host.Config().memoryEntries)),
      m_hints(catalogue.Size(), 0) {
    m_memory->AddIndex("query", [&catalogue](const CacheHelpers::Entry& e) {
        const QueryResult* r = ResultOf(e.GetData());
        return r ? Text(catalogue.Get(r->qid).key) : TString();
    });
    m_memory->AddIndex("tables", [&catalogue](const CacheHelpers::Entry& e) {
        const QueryResult* r = ResultOf(e.GetData());
        return r ? Text(catalogue.Get(r->qid).tables) : TString();
    });
    for (const Query& q : catalogue.All())
        m_byQuery.push_back(std::make_shared<QueryIs>(q.id, Text(q.key)));
}

ResultCache::~ResultCache() {
    m_host.Service()->OnRemoved(*m_memory);
}

std::int64_t ResultCache::Invalidations() const {
    return m_memory->m_invalidated.load();
}

ResultCache::Answer ResultCache::Get(int qid) {
    const Query& query = m_catalogue.Get(qid);
    CascadeInvalidatorAggregator* aggregator = CascadeInvalidatorAggregator::TryGetSingleton();
    Answer answer;
    unsigned int& hint = m_hints[static_cast<std::size_t>(qid)];
    const CacheHelpers::Payload payload =
        m_memory->TryGetEntryUpdateHint(m_byQuery[static_cast<std::size_t>(qid)], hint);
    if (const auto* held = dynamic_cast<const ResultData*>(payload.Get())) {
        answer.result = held->Result();
        answer.guid = hint;
        aggregator->OnEntryUsed(hint, m_memory.get());
        return answer;
    }
    const std::int64_t version = m_runner.Version(qid);
    answer.result = LoadExternal(query, version, answer.layer);
    if (!answer.result) {
        const auto start = std::chrono::steady_clock::now();
        answer.result = m_runner.Compute(qid);
        answer.layer = Layer::Sqlite;
        const auto bytes = std::make_shared<ExternalBytes>(answer.result->Serialize());
        const TString key = m_host.ExternalKey(query, answer.result->versions[0].second);
        const auto loadMs = static_cast<unsigned int>(Since(start));
        // Stored in the background; the futures are not waited for.
        m_host.Disk()->TryStore(key, bytes, loadMs, -1);
        m_host.Redis()->TryStore(key, bytes, loadMs, -1);
    }
    answer.guid = Fill(answer.result);
    hint = answer.guid;
    if (answer.guid) aggregator->OnEntryUsed(answer.guid, m_memory.get());
    return answer;
}

ResultPtr ResultCache::LoadExternal(const Query& query, std::int64_t version, Layer& layer) {
    const TString key = m_host.ExternalKey(query, version);
    for (const Layer from : {Layer::Disk, Layer::Redis}) {
        const auto& cache = from == Layer::Disk ? m_host.Disk() : m_host.Redis();
        bool timedOut = false;
        const ExternalBytesPtr bytes = cache->TryLoad(key, kExternalWaitMs, &timedOut);
        if (timedOut) m_stats.Count(std::string("external.wait-exceeded.") + LayerName(from));
        if (!bytes) continue;
        auto decoded = QueryResult::Deserialize(*bytes);
        if (!decoded || decoded->qid != query.id || decoded->versions.size() != 1 ||
            decoded->versions[0].second != version) {
            m_stats.Count(std::string("external.unreadable.") + LayerName(from));
            continue;
        }
        if (from == Layer::Redis)  // this machine's workers find it on disk next time
            m_host.Disk()->TryStore(key, bytes, 0, -1);
        layer = from;
        return std::make_shared<const QueryResult>(std::move(*decoded));
    }
    return nullptr;
}

unsigned int ResultCache::Fill(const ResultPtr& result) {
    const std::shared_ptr<RedisPubsub> service = m_host.Service();
    const Query& query = m_catalogue.Get(result->qid);
    auto [guid, replaced] = m_memory->AddEntryAndDeleteExistingEntriesItMatches(
        CacheHelpers::Payload(new ResultData(result)),
        m_byQuery[static_cast<std::size_t>(result->qid)]);
    ReportRemoved(replaced);
    service->OnAdded(m_host.KeyHash(query), result->DataHash(), result->timestamp, guid, m_memory);
    const CacheHelpers::EntrySet evicted = m_memory->Purge();
    m_stats.Count("evictions", static_cast<std::int64_t>(evicted.size()));
    ReportRemoved(evicted);
    if (m_runner.Version(result->qid) != result->versions[0].second) {
        // A change committed meanwhile; its announcement may have passed before OnAdded.
        m_memory->SynchronizedIndexedCache::OnDirty({guid});
        service->OnRemoved(std::vector<unsigned int>{guid}, m_memory);
        m_stats.Count("fill.raced");
        return 0;
    }
    return guid;
}

void ResultCache::ReportRemoved(const CacheHelpers::EntrySet& entries) {
    if (!entries.empty()) m_host.Service()->OnRemoved(Ids(entries), m_memory);
}

bool ResultCache::StillHeld(unsigned int guid) {
    return guid != 0 && m_memory->TryGetEntry(guid);
}

std::vector<ResultPtr> ResultCache::HeldResults() const {
    std::vector<ResultPtr> results;
    for (const auto& entry : m_memory->GetEntries()) {
        const auto* data = dynamic_cast<const ResultData*>(entry.GetData().Get());
        if (data) results.push_back(data->Result());
    }
    return results;
}

std::vector<std::pair<std::string, std::size_t>> ResultCache::EntriesByTables() const {
    std::vector<std::pair<std::string, std::size_t>> counts;
    for (const auto& [key, ids] : m_memory->GetIndexedEntries()) {
        const std::string text = key.toStdString();
        if (text.rfind("tables", 0) == 0) counts.emplace_back(text, ids.size());
    }
    return counts;
}

}  // namespace demo
