// The coherence wire format, the dirty rule and the receiving side.
//
// A message says only that, under one key hash, content with one data hash exists as of one
// time: channel "<namespace><k1>-<k2>", text "<h1>-<h2>@<timestamp>", every number in lower-case
// hexadecimal without prefix or padding. There is no sender, guid or version: a process also
// receives its own messages, which is how the older entries of its other caches under the same
// key hash become dirty.
#include <algorithm>
#include <string>

#include "caching/CascadeInvalidatorHolder.h"
#include "caching/RedisPubsubImpl.h"
#include "velcore/LockDetectionTimer.h"
#include "velcore/VelmoraCounters.h"
#include "velcoredata/DateTime.h"

namespace velmora::caching {

TString FormatHashPair(const HashPair& pair) {
    return TString::number(pair.first, 16) + TString("-") + TString::number(pair.second, 16);
}

HashPair ParseHashPair(const TString& text) {
    const std::vector<TString> parts = text.split(TString("-"));
    VEL_ASSERT(parts.size() == 2);
    // The success flag is not examined: a piece that is not hexadecimal reads as 0.
    return {parts[0].toULongLong(nullptr, 16), parts[1].toULongLong(nullptr, 16)};
}

TString FormatCoherenceChannel(const TString& ns, const HashPair& keyhash) {
    return ns + FormatHashPair(keyhash);
}

TString FormatCoherenceMessage(const HashPair& hash, unsigned long long timestamp) {
    return FormatHashPair(hash) + TString("@") + TString::number(timestamp, 16);
}

std::pair<HashPair, unsigned long long> ParseMessage(const TString& message) {
    const std::vector<TString> split = message.split(TString("@"));
    VEL_ASSERT(split.size() == 2);
    return {ParseHashPair(split[0]), split[1].toULongLong(nullptr, 16)};
}

bool RedisPubsub::Impl::IsDirty(const CacheEntryInfo& candidate, const HashPair& otherHash,
                                unsigned long long otherTimestamp) const {
    // The margin is formed in 32-bit arithmetic: options whose product overflows are not
    // supported. DateTime arithmetic saturates, so a margin beyond the other timestamp gives 0.
    const int marginMs = m_minimumDeltaSeconds * 1000;
    const unsigned long long cutoff =
        (DateTime::FromValue(otherTimestamp) - DateTimeSpan::FromMilliseconds(marginMs))
            .GetRepresentation();
    const HashPair none{0, 0};
    if (candidate.hash == otherHash && candidate.hash != none) return false;
    // The content differs, or neither side knows it: stale when older by more than the margin.
    return cutoff > candidate.timestamp;
}

void RedisPubsub::Impl::BeginNotification() {
    VEL_ASSERT_HELD(m_lock);
    ++m_notifyDepth;
}

void RedisPubsub::Impl::EndNotification() {
    VEL_ASSERT_HELD(m_lock);
    if (--m_notifyDepth == 0) m_forgottenWhileNotifying.clear();
}

void RedisPubsub::Impl::NotifyDirty(const CacheEntryInfo& record) {
    VEL_ASSERT_HELD(m_lock);
    const std::vector<unsigned int> guids{record.guid};
    // An evicted record's cache no longer holds the entry; a cache forgotten by a callback of
    // this notification may be gone.
    const bool forgotten =
        std::find(m_forgottenWhileNotifying.begin(), m_forgottenWhileNotifying.end(),
                  record.cache) != m_forgottenWhileNotifying.end();
    if (!m_dryRun && !record.IsEvicted() && !forgotten) record.cache->OnDirty(guids);
    for (ICascadeInvalidator* invalidator :
         CascadeInvalidatorHolderFactory::GetInstance().GetInvalidators()) {
        if (invalidator) invalidator->OnDirty(guids, record.cache);
    }
}

void RedisPubsub::Impl::Unlink(const CacheEntryInfo& e) {
    VEL_ASSERT_HELD(m_lock);
    if (e.IsEvicted()) {
        auto [first, last] = m_evictedEntries.equal_range(e.evictedTime);
        auto copy = first;
        while (copy != last && !(copy->second.guid == e.guid && copy->second.cache == e.cache))
            ++copy;
        VEL_ASSERT_MSG(copy != last,
                       "entry in m_keyhashToCacheEntries is evicted but not found in "
                       "m_evictedEntries");
        m_evictedEntries.erase(copy);
        m_evictedGuidAndCache.erase({e.guid, e.cache});
    }
    m_guidAndCacheToKeyHash.erase({e.guid, e.cache});
}

namespace {

// Longest received text written whole into a log line.
constexpr int kLoggedChars = 256;

TString ShortenedForLog(const TString& text) {
    if (text.length() <= kLoggedChars) return text;
    return text.mid(0, kLoggedChars) + TFormatString("...(%1 chars)", text.length()).ToString();
}

}  // namespace

void RedisPubsub::Impl::SubscribeCallback(const TString& keyText, const void* data, int length,
                                          bool decidesHeld) {
    // Parse and log before the lock: a malformed message changes nothing.
    const TString message =
        TString::fromStdString(std::string(static_cast<const char*>(data), size_t(length)));
    const auto [newHash, newTimestamp] = ParseMessage(message);
    const HashPair keyhash = ParseHashPair(keyText);
    // A fill announced from here that loaded before this arrived may have reached the server
    // after it: this is announced again, so that it is the last news of its key everywhere.
    const bool raced =
        m_arrivals.Record(keyhash, newHash, newTimestamp, SteadyNowNs()) && decidesHeld;
    if (m_loggingEnabled) {
        TLog::LogMessage(
            m_logSeverity,
            TFormatString(
                "RedisPubsub SubscribeCallback on channel=%1, rawdata=%2", ShortenedForLog(keyText),
                ShortenedForLog(TString::fromLocal8Bit(static_cast<const char*>(data), length))));
    }

    {
        LockDetectionTimer timer("RedisPubsubSubscribeCallback");
        TExclusiveLockGuard hold(m_lock);
        timer.StartBlock();

        // Phase one changes the tables; phase two tells caches and invalidators from a local list,
        // so that a cache calling back from OnDirty finds them consistent and no reference into
        // them is held across the call.
        std::vector<CacheEntryInfo> dirtied;
        const auto notify = [&]() VEL_REQUIRES(m_lock) { NotifyAllDirty(dirtied); };
        const HashPair none{0, 0};
        auto filed = m_keyhashToCacheEntries.find(keyhash);
        if (filed == m_keyhashToCacheEntries.end()) {
            ++VelmoraCounters::RedisPubsubWastedMessages;
        } else {
            std::vector<CacheEntryInfo>& records = filed->second;
            try {
                // Removing a record moves the next one into its position, which is examined next.
                for (size_t i = 0; i < records.size();) {
                    const CacheEntryInfo e = records[i];
                    // A record filed by arrival was loaded before this message arrived: other
                    // content makes it dirty, whatever the timestamps (no margin, no clocks).
                    const bool dirty = e.byArrival
                                           ? decidesHeld && (e.hash != newHash || e.hash == none)
                                           : IsDirty(e, newHash, newTimestamp);
                    if (!dirty) {
                        ++i;
                        continue;
                    }
                    if (m_loggingEnabled) {
                        TLog::LogMessage(
                            m_logSeverity,
                            TFormatString("RedisPubsub IsDirty CacheGuid=%1, cache=%2, "
                                          "oldHash=%3, oldTimestamp=%4, newHash=%5, "
                                          "newTimestamp=%6",
                                          e.guid, TString::pointer(e.cache), FormatHashPair(e.hash),
                                          e.timestamp, FormatHashPair(newHash), newTimestamp));
                    }
                    Unlink(e);
                    records.erase(records.begin() + static_cast<std::ptrdiff_t>(i));
                    dirtied.push_back(e);
                }
            } catch (...) {
                // The records unlinked so far stay processed.
                if (records.empty()) m_keyhashToCacheEntries.erase(filed);
                notify();
                throw;
            }
            if (records.empty()) m_keyhashToCacheEntries.erase(filed);
        }
        notify();
        PruneEvictedEntries();
    }
    // Outside the lock (publishing may wait for the server), on this thread.
    PublishOwed(keyhash, newHash, newTimestamp);
    if (raced) {
        m_publish(FormatCoherenceChannel(m_namespace, keyhash), message);
        ++m_counters.reannounced;
    }
}

}  // namespace velmora::caching
