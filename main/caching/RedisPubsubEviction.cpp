// Evicted records and placeholders.
//
// An evicted entry may have fed results that query-job scopes still depend on, so its record is
// kept after the eviction and a later message can still find it dirty (then only the
// invalidators hear of it). The tracking is bounded and approximate: records older than
// CacheSynchronizationEvictedLifetimeSec are let go at the next prune, and once more than
// CacheSynchronizationMaxEvictedEntries are kept, the oldest are let go down to two thirds of
// that, so that pruning by count does not run on every eviction. Either way the invalidators
// hear OnEvicted. Pruning runs only inside other operations (lazily), touches only the front of
// the time-ordered copies, and stops at the first copy young enough.
//
// A removal whose addition has not been filed (not reported, or still in flight on another
// thread) leaves a placeholder that the addition consumes; placeholders whose addition never
// comes are dropped all at once when there are more than 10000.
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/RedisPubsubImpl.h"
#include "metrics2/Metrics.h"
#include "velcore/VelmoraCounters.h"

namespace velmora::caching {

namespace {

constexpr size_t kMaxPlaceholders = 10000;
constexpr size_t kPlaceholdersReported = 10;
constexpr long long kNsPerSecond = 1000000000LL;

}  // namespace

void RedisPubsub::Impl::SetPlaceholderCounter() const {
    VEL_ASSERT_HELD(m_lock);
    VelmoraCounters::RedisPubsubPlaceholderSize =
        static_cast<long long>(m_removeBeforeAddPlaceholders.size());
}

void RedisPubsub::Impl::LogPairError(const char* message, std::uint32_t code, const char* site,
                                     unsigned int guid, const ICoherentCache* cache) const {
    TLog::LogMessage(TLog::Error, TString(message),
                     {{TString("CacheGuid"), TString::number(guid)},
                      {TString("Cache"), TString::pointer(cache)}},
                     VelmoraError::MakeError(code, site));
}

void RedisPubsub::Impl::RecordPlaceholder(unsigned int guid, ICoherentCache* cache) {
    VEL_ASSERT_HELD(m_lock);
    VEL_ASSERT_MSG(
        m_removeBeforeAddPlaceholders.find({guid, cache}) == m_removeBeforeAddPlaceholders.end(),
        "m_removeBeforeAddPlaceholders.find({guid, cache.get()}) == "
        "m_removeBeforeAddPlaceholders.end()");
    m_removeBeforeAddPlaceholders.insert({guid, cache});
    if (m_loggingEnabled) {
        TLog::LogMessage(
            m_logSeverity,
            TFormatString("RedisPubsub: TFS874920: Publish cache information - "
                          "non-standard code paths. Creating placeholder for "
                          "CacheGuid=%1, cache=%2, size=%3",
                          guid, TString::pointer(cache), m_removeBeforeAddPlaceholders.size()));
    }
    if (m_removeBeforeAddPlaceholders.size() > kMaxPlaceholders) {
        TString report("RedisPubsub: Too many placeholders, flushing.");
        size_t listed = 0;
        for (const auto& [placeholderGuid, placeholderCache] : m_removeBeforeAddPlaceholders) {
            if (listed++ == kPlaceholdersReported) break;
            report += TFormatString(" {CacheGuid=%1, cache=%2}", placeholderGuid,
                                    TString::pointer(placeholderCache))
                          .ToString();
        }
        TLog::LogMessage(TLog::Warn, report);
        m_removeBeforeAddPlaceholders.clear();
    }
    SetPlaceholderCounter();
}

void RedisPubsub::Impl::MarkEvicted(unsigned int guid, ICoherentCache* cache, long long time) {
    VEL_ASSERT_HELD(m_lock);
    if (!m_evictedGuidAndCache.insert({guid, cache}).second) {
        // Keeps the first eviction time.
        LogPairError("RedisPubsub::OnRemoved - removing an evicted entry again.", 0xC5E8FF71,
                     "LogSite_AutoGen_0xC5E8FF71", guid, cache);
        return;
    }
    const HashPair& keyhash = m_guidAndCacheToKeyHash.at({guid, cache});
    auto records = m_keyhashToCacheEntries.find(keyhash);
    VEL_ASSERT_MSG(records != m_keyhashToCacheEntries.end(),
                   "RedisPubsub::OnRemoved - inconsistency between m_guidAndCacheToKeyHash and "
                   "m_keyhashToCacheEntries!");
    for (CacheEntryInfo& record : records->second) {
        if (record.guid != guid || record.cache != cache) continue;
        record.evictedTime = time;
        m_evictedEntries.emplace(time, record);
    }
}

void RedisPubsub::Impl::PruneEvictedEntriesHelperNoLock(
    std::map<ICoherentCache*, std::vector<unsigned int>>& removals) {
    VEL_ASSERT_HELD(m_lock);
    auto oldest = m_evictedEntries.begin();
    const CacheEntryInfo copy = oldest->second;
    removals[copy.cache].push_back(copy.guid);

    if (m_evictedGuidAndCache.erase({copy.guid, copy.cache}) == 0) {
        LogPairError(
            "RedisPubsub::PruneEvictedEntriesHelperNoLock - evicted entry does not exist "
            "in m_evictedGuidAndCache",
            0x8C3ACE23, "LogSite_AutoGen_0x8C3ACE23", copy.guid, copy.cache);
    }
    auto filed = m_guidAndCacheToKeyHash.find({copy.guid, copy.cache});
    if (filed == m_guidAndCacheToKeyHash.end()) {
        LogPairError(
            "RedisPubsub::PruneEvictedEntriesHelperNoLock - evicted entry does not exist "
            "in m_guidAndCacheToKeyHash",
            0xB01A293C, "LogSite_AutoGen_0xB01A293C", copy.guid, copy.cache);
    } else {
        const HashPair keyhash = filed->second;
        m_guidAndCacheToKeyHash.erase(filed);
        auto records = m_keyhashToCacheEntries.find(keyhash);
        VEL_ASSERT_MSG(records != m_keyhashToCacheEntries.end(),
                       "RedisPubsub::OnRemoved - inconsistency between m_guidAndCacheToKeyHash "
                       "and m_keyhashToCacheEntries!");
        std::erase_if(records->second, [&](const CacheEntryInfo& record) {
            return record.guid == copy.guid && record.cache == copy.cache;
        });
        if (records->second.empty()) {
            m_keyhashToCacheEntries.erase(records);
            ++VelmoraCounters::RedisPubsubSavedMessages;
        }
    }
    m_evictedEntries.erase(oldest);
}

void RedisPubsub::Impl::PruneEvictedEntries() {
    Metrics::Scope scope("RedisPubsub::PruneEvictedEntries", 0x20001);
    const long long now = SteadyNowNs();
    // Per cache (in address order), the guids pruned, oldest first.
    std::map<ICoherentCache*, std::vector<unsigned int>> removals;
    {
        TExclusiveLockGuard hold(m_lock);
        const long long cutoff = now - static_cast<long long>(m_evictedLifetimeSec) * kNsPerSecond;
        while (!m_evictedEntries.empty() && m_evictedEntries.begin()->first <= cutoff)
            PruneEvictedEntriesHelperNoLock(removals);

        if (m_evictedEntries.size() > static_cast<size_t>(m_maxEvictedEntries)) {
            auto oldestAgeSec = [this]() VEL_REQUIRES(m_lock) {
                return (SteadyNowNs() - m_evictedEntries.begin()->first) / kNsPerSecond;
            };
            TLog::LogMessage(TLog::Info,
                             TFormatString("Prune evicted entries from as old as %1 seconds ago - "
                                           "reached %2 entries",
                                           oldestAgeSec(), m_evictedEntries.size()));
            const int target = (2 * m_maxEvictedEntries) / 3;
            while (m_evictedEntries.size() > static_cast<size_t>(target))
                PruneEvictedEntriesHelperNoLock(removals);
            TLog::LogMessage(TLog::Info,
                             TFormatString("RedisPubsub now tracking %1 evicted queries",
                                           m_evictedEntries.size()));
            if (!m_evictedEntries.empty()) {
                TLog::LogMessage(TLog::Info,
                                 TFormatString("RedisPubsub: oldest evicted query now tracked is "
                                               "from %1 seconds ago",
                                               oldestAgeSec()));
            }
        }
    }
    if (removals.empty()) return;
    for (ICascadeInvalidator* invalidator :
         CascadeInvalidatorHolderFactory::GetInstance().GetInvalidators()) {
        if (!invalidator) continue;
        for (const auto& [cache, guids] : removals) invalidator->OnEvicted(guids, cache);
    }
    NotifyPruned(removals);
}

}  // namespace velmora::caching
