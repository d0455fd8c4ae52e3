// The state of the coherence service and the steps its operations share. Private to the
// library: RedisPubsub.cpp (construction and the tracking operations), RedisPubsubMessages.cpp
// (wire format, dirty rule, receiving side) and RedisPubsubEviction.cpp (evicted records,
// placeholders, pruning).
//
// Lock: m_lock is the only lock of the tables, always taken exclusively; it is re-entrant for its
// holder, which PruneEvictedEntries relies on (it takes the lock again inside OnAdded, OnRemoved
// and the subscription callback) and so do caches that call back from OnDirty. Caches' and
// invalidators' OnDirty, and the invalidators' OnEvicted from pruning, run with it held, but
// only after every table change of the step is done (two phases: unlink, then notify from a
// local list). Lock order: m_lock, then m_tasksMutex; m_durableMutex and m_healthMutex are
// leaves (nothing is called while they are held, the retry thread's wait aside).
// The clang preset checks these rules (GUARDED_BY, REQUIRES); the analysis does not follow a
// hold across calls, so the re-entrant holds need no exception from it.
// Safe for concurrent use.
//
// How the coherence service works, in full:
// RedisPubsub: the process's cross-process coherence service over Redis publish/subscribe.
//
// Caches report every entry they add (OnAdded) and evict (OnRemoved); the service files a record
// per entry under the entry's key hash and publishes one message "<data hash>@<timestamp>" on the
// channel "<namespace><key hash>". Every process of the namespace, this one included, receives
// every message through one pattern subscription "<namespace>*" and marks dirty each of its own
// records under that key hash whose data hash differs and which is older than the message by
// more than CacheSynchronizationMinimumDeltaSeconds: the record's cache is told OnDirty (unless
// CacheSynchronizationDryRun) and so is every installed cascade invalidator, and the record is
// forgotten. Evicted records are kept for a bounded time and number so that a later message can
// still reach the invalidators; when they are let go the invalidators hear OnEvicted.
//
// Ownership: the service owns none of the caches; it refers to them by address and weak
// pointer, so the host must call OnRemoved(cache) before destroying a cache it registered. The
// subscription manager is borrowed and must outlive the service. The process instance made by
// GetInstance is never destroyed; test instances unsubscribe when destroyed, after waiting for
// their own background tasks.
//
// Threads and locks: the service has one lock, taken exclusively and re-entrantly by OnAdded,
// OnRemoved and the subscription callback (which runs on the subscription manager's delivery
// thread). ICoherentCache::OnDirty and the invalidators' OnDirty and OnEvicted are called on the
// thread that found the entry dirty or pruned it WHILE THAT LOCK IS HELD (OnRemoved(cache) alone
// calls the invalidators after releasing it). The lock order is therefore: this service, then a
// cache's lock, then the cascade aggregator's locks; nothing that holds a cache's or the
// aggregator's lock may wait for this service. Publishing runs outside the lock. A cache's or
// invalidator's OnDirty may call back into the service on the same thread (OnAdded, OnRemoved):
// the tables are consistent whenever anything is called out.
//
// Nothing lost across a gap (process instance and the instances of CreateTestInstance(ns,
// manager)): every announcement is also appended to a capped Redis stream of the namespace,
// "{<namespace>}announcements", with the same text, before its PUBLISH (on a single server in the
// same round trip; on a cluster the PUBLISH goes through any node that answers). The PUBLISH goes
// out whether or not the append succeeded; a failed append waits in the queue below and is
// published again once appended, and one given up leaves a marker in the stream that makes a
// subscriber replaying past it treat the replay as a gap.
// After every (re)subscription the service reads that stream from the last entry it applied,
// in pages, through the same path as live messages, before the subscription counts as
// confirmed. When the stream no longer reaches back that far (trimmed, or the server restarted
// empty) the host is told through the subscription manager's re-subscription callback with the
// cause, and every entry tracked at that moment is treated as dirty. Announcements whose
// publish or append fails wait in a bounded queue (one per key hash, the newest wins) that a
// thread of the service sends when the server (or the stream's node) answers again, trying
// every 100 ms; until then OnAdded queues without trying what is known to be down, so a fill
// waits at most one command time-out per announcement in flight when a node fails. Options turn
// each part off: CacheSynchronizationReplay, CacheSynchronizationReplayMaxLen (stream cap),
// CacheSynchronizationFlushOnGap, CacheSynchronizationRetryQueue (queue bound, 0 = off). A server
// without streams gets publish/subscribe alone and one log line saying so. Safe for concurrent use.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "caching/ArrivalTable.h"
#include "caching/CoherenceMessages.h"
#include "caching/RedisPubsub.h"
#include "velcoreplatform/TLog.h"
#include "velsys/Locks.h"
#include "velsys/SteadyClock.h"

namespace velmora::caching {

// The record of one tracked entry.
struct CacheEntryInfo {
    static constexpr long long kLive = std::numeric_limits<long long>::max();

    HashPair hash;                 // data hash of the entry's content
    unsigned long long timestamp;  // raw DateTime value supplied by the host
    unsigned int guid;
    ICoherentCache* cache;          // not owned
    long long evictedTime = kLive;  // steady-clock nanoseconds of the eviction, or kLive
    // Dirty as soon as other content is announced (a read-through fill), whatever the timestamps.
    bool byArrival = false;

    bool IsEvicted() const { return evictedTime != kLive; }
};

// Eviction times are steady-clock readings in nanoseconds (SteadyNowNs, velsys/SteadyClock.h).

class CoherenceStateWatch;

class RedisPubsub::Impl : public ICacheCoherence {
public:
    Impl(const TString& ns, IRedisSubscriptionManager& manager, PublishFunction publish);
    // Publishes and subscribes through `manager`, with the stream, replay and retry queue;
    // answers Hears with the silence bound `maxDeafMs` (0: none).
    Impl(const TString& ns, RedisSubscriptionManager& manager, int maxDeafMs,
         bool waitForConfirmation = true);
    ~Impl() override;
    // RedisPubsub::Stop: waits for the background tasks, sends what the retry queue holds until
    // `deadline` (see RetryLoop), drops the rest and unsubscribes. Idempotent.
    StopFigures Stop(std::chrono::milliseconds deadline);

    OnAddedMetrics OnAdded(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                           unsigned int guid, std::weak_ptr<ICoherentCache> cache) override;
    // OnAdded, filing and publishing as `mode` says (see RedisPubsub::OnLoaded).
    OnAddedMetrics OnAddedOrFilled(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                                   unsigned int guid, std::weak_ptr<ICoherentCache> cache,
                                   FillMode mode);
    void OnRemoved(const ICoherentCache& cache) override;
    OnRemovedMetrics OnRemoved(const std::vector<unsigned int>& guids,
                               std::weak_ptr<ICoherentCache> cache) override;
    void TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries, int evictedLifetimeSec) override;

    TrackingCounts GetTrackingCounts();
    CoherenceHealth GetHealth();

    // The announcements received lately, for read-through caches' verdicts.
    const ArrivalTable& Arrivals() const { return m_arrivals; }
    bool Hears() const { return HearsAt(SteadyNowNs()); }
    bool HearsAt(long long nowNs) const;
    void CountSilentAnswer(RedisPubsub::SilentAnswer kind) {
        ++(kind == RedisPubsub::SilentAnswer::Load   ? m_silence.loads
           : kind == RedisPubsub::SilentAnswer::Hold ? m_silence.holds
                                                     : m_silence.failSafe);
    }
    long long LastHeardNs() const;
    std::string Unreachable() const;
    // The service was made while its server could not be reached, for `why` (Create's words):
    // until it is first heard, Unreachable answers `why` without probing again, and
    // announcements go to the retry queue without waiting on the server. Before the service is
    // shared with another thread.
    void MarkUnreachableAtStart(std::string why);
    // Whether the service knows it hears nothing: unreachable at start and never heard since, or
    // silent for longer than the silence bound. Then no caller waits on the server.
    bool KnownSilent() const;
    long long SilenceBoundNs() const { return m_redis ? m_maxDeafNs : 0; }
    std::uint64_t AddPruneListener(PruneListener listener);
    // The watch of a durable instance's state changes; null for the others.
    CoherenceStateWatch* StateWatch() const { return m_state.get(); }
    void RemovePruneListener(std::uint64_t id);

    // Whether `candidate` is stale against content `otherHash` produced at `otherTimestamp`:
    // its hash differs (or neither side has one) and it is older by more than the margin.
    bool IsDirty(const CacheEntryInfo& candidate, const HashPair& otherHash,
                 unsigned long long otherTimestamp) const;
    // Handles one received message; `keyText` is the channel without the namespace. Runs on
    // the subscription manager's delivery thread. Parses before touching any state.
    // `decidesHeld`: the message may make records filed by arrival dirty (a live message, or
    // the newest of its key hash in a replay).
    void SubscribeCallback(const TString& keyText, const void* data, int length,
                           bool decidesHeld = true);

private:
    // Reads the options; both public constructors start here and subscribe last.
    struct Unsubscribed {};
    Impl(Unsubscribed, const TString& ns, IRedisSubscriptionManager* manager,
         PublishFunction publish);

    using GuidAndCache = std::pair<unsigned int, ICoherentCache*>;

    // Subscribes with `callback` (and, when durable, the catch-up hook) and counts the waste.
    void Subscribe();
    // One message from the subscription or the stream: cuts the namespace off the channel and
    // runs SubscribeCallback, counting what happened. Raises what SubscribeCallback raises.
    void Apply(const TString& channel, const void* data, int length, bool live,
               bool decidesHeld = true);

    // launchSeq: 0 for a call on the caller's thread, else the task's launch number, checked
    // against OnRemoved(cache) (m_forgotten).
    OnAddedMetrics OnAddedSync(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                               unsigned int guid, const std::weak_ptr<ICoherentCache>& cache,
                               std::uint64_t launchSeq = 0, FillMode mode = {false, false});
    // Files an addition's `record` under `keyhash` and prunes; false when the addition ends here:
    // a removal of the entry was waiting for it (it is gone), or it is stale on arrival (its
    // cache and the invalidators were told).
    bool FileAddition(const HashPair& keyhash, const CacheEntryInfo& record, OnAddedMetrics& result)
        VEL_REQUIRES(m_lock);
    // Publishes an addition's announcement (and, for a raced fill, the change it raced) and
    // logs it when logging is on. Runs without the lock.
    void Announce(const HashPair& keyhash, const HashPair& hash, unsigned long long timestamp,
                  unsigned int guid, const std::weak_ptr<ICoherentCache>& cache, FillMode mode,
                  OnAddedMetrics& result);
    // Whether a fill need not be published; remembers and counts it when so.
    bool SkipKnownFill(const HashPair& keyhash, const HashPair& hash, unsigned long long timestamp);
    // Publishes the skipped fills of `keyhash` that other content `hash`, produced at
    // `timestamp`, just made owed (those produced after it).
    void PublishOwed(const HashPair& keyhash, const HashPair& hash, unsigned long long timestamp);
    OnRemovedMetrics OnRemovedSync(const std::vector<unsigned int>& guids,
                                   const std::weak_ptr<ICoherentCache>& cache,
                                   std::uint64_t launchSeq = 0);
    // Launches `work` (given its launch number) as a background task counted in
    // m_pendingTasks.
    void LaunchTask(std::function<void(std::uint64_t)> work);
    // Whether OnRemoved(cache) ran after the task `launchSeq` was launched. REQUIRES: m_lock.
    bool IsForgotten(ICoherentCache* cache, std::uint64_t launchSeq) const VEL_REQUIRES(m_lock);

    // ---- durable side (RedisPubsubDurability.cpp) ----
    // What became of one announcement.
    struct Sent {
        bool appended = false;  // in the stream (or no stream to append to)
        bool published = false;
    };
    // An announcement waiting in the queue, with what it still needs.
    struct Unsent {
        std::string message;
        bool needPublish = false;
        bool needAppend = false;
    };
    // Publishes one announcement and, with `append`, first appends it to the stream; the publish
    // goes out whether or not the append succeeded.
    Sent SendAnnouncement(const std::string& channel, const std::string& message, bool append);
    // The publish function of the durable instances: sends what can go out now, queues the rest
    // (without trying what is known to be down) and wakes the retry thread.
    void PublishOrQueue(const TString& channel, const TString& message);
    // Notes an append given up for good. REQUIRES: m_durableMutex held.
    void LoseAppend() VEL_REQUIRES(m_durableMutex);
    // Appends the gap marker owed, then sends queued announcements until one fails (it stays
    // queued). Returns whether nothing is left to send.
    bool ResendQueued();
    // The retry thread: sends queued announcements whenever there are some, trying again every
    // kRetryInterval while they fail (the probe that finds a failed node answering again), and
    // otherwise moves the resume point every m_followNs (FollowLiveInStream).
    void RetryLoop();
    // Whether one more command can end by m_flushBy. REQUIRES: m_durableMutex held.
    bool FlushTimeLeft() const VEL_REQUIRES(m_durableMutex);
    // Takes the subscription and its hooks away; when it returns, none of them runs.
    void Unsubscribe();
    // Moves m_lastApplied past the stream's entries that arrived live, up to the first one that
    // has not (or a publisher's gap marker), and forgets them in m_seenLive. A loss after a long
    // live spell then replays only what followed it: left where the last catch-up put it, the
    // resume point fell out of the capped stream once more announcements than the cap had gone
    // by, and any loss after that was a gap that made every tracked entry dirty. Gives up
    // without a change when a catch-up runs meanwhile. Retry thread only.
    void FollowLiveInStream();
    // The catch-up hook: replays the stream from the last applied entry, finds gaps, flushes.
    // Runs on the delivery thread. Returns the cause of a gap, "" when nothing was lost.
    std::string CatchUp(bool resubscription);
    // CatchUp's part on the announcement stream: checks the server's run id, finds where to
    // resume and replays from there; moves m_lastApplied and m_runId. Returns the cause of a
    // gap, "" when nothing was lost.
    std::string CatchUpFromStream(bool resubscription);
    // The run id of the node that holds the stream; "" when it cannot be asked.
    std::string StreamServerRunId(const std::string& stream);
    // The id of the stream's last entry ("0-0" when it is empty); empty when it cannot be read.
    std::optional<std::string> StreamTip(const std::string& stream);
    // With no earlier position: seeds the arrival table at the first subscription and sets
    // `last` to the stream's tip, if it can be read. Returns the cause of a gap (only after a
    // re-subscription: whatever came before it is lost).
    std::string StartAtStreamTip(const std::string& stream, bool resubscription, std::string& last);
    // From the position `last`: replays what follows when the stream still reaches back to it,
    // and otherwise moves `last` to the stream's tip. `sameRunId`: the server has not restarted
    // since the previous catch-up. Returns the cause of a gap, "" when nothing was lost.
    std::string ResumeStream(const std::string& stream, bool sameRunId, std::string& last);
    // After a loss (`cause` not empty) or a re-subscription: makes fills that loaded across it
    // count for nothing, counts and reports the gap, and flushes when told to (saying so in
    // `cause`).
    void AnswerLoss(bool resubscription, std::string& cause);
    // The silence hook: after a silence longer than m_maxDeafNs a change may have been made
    // that is not announced yet (its publisher could not reach the server either, and retries
    // later); what is held cannot be vouched for and is treated as after a gap.
    void AfterSilence(std::chrono::nanoseconds silence);
    // Replays entries after m_lastApplied; false when the stream cannot be read. `gap` receives
    // what a publisher's gap marker on the way reported ("" when none).
    bool Replay(std::string& last, std::string& gap);
    // Every tracked record treated as dirty (unlinked first, then notified).
    void FlushAllTracked();
    // At the first subscription: reads back the stream's announcements within the arrival
    // table's horizon into the table, so that it vouches for values produced before start-up.
    void SeedArrivals();
    // Tells the prune listeners, after the invalidators, of the records let go.
    void NotifyPruned(const std::map<ICoherentCache*, std::vector<unsigned int>>& removals);
    // Records a live message's delivery lag and, while the stream is on, that it was applied.
    void NoteLive(const TString& channel, const void* data, int length);

    // Tells the record's cache (unless dry run or evicted) and every invalidator that the
    // record is stale. REQUIRES: m_lock held; the record is no longer in any table.
    void NotifyDirty(const CacheEntryInfo& record) VEL_REQUIRES(m_lock);
    // NotifyDirty for each record of a container, skipping the caches forgotten meanwhile (by
    // a callback). REQUIRES: m_lock held; the records are no longer in any table.
    template <class Records>
    void NotifyAllDirty(const Records& records) VEL_REQUIRES(m_lock) {
        BeginNotification();
        try {
            for (const CacheEntryInfo& record : records) NotifyDirty(record);
        } catch (...) {
            EndNotification();
            throw;
        }
        EndNotification();
    }
    // A notification of several records: caches forgotten by a callback are remembered from the
    // outermost Begin to its End. REQUIRES: m_lock held.
    void BeginNotification() VEL_REQUIRES(m_lock);
    void EndNotification() VEL_REQUIRES(m_lock);
    // Removes a tracked record from every table (its evicted copy included).
    // REQUIRES: m_lock held.
    void Unlink(const CacheEntryInfo& record) VEL_REQUIRES(m_lock);
    // REQUIRES: m_lock held; (guid, cache) is not filed.
    void RecordPlaceholder(unsigned int guid, ICoherentCache* cache) VEL_REQUIRES(m_lock);
    // REQUIRES: m_lock held; (guid, cache) is filed.
    void MarkEvicted(unsigned int guid, ICoherentCache* cache, long long time) VEL_REQUIRES(m_lock);
    // Prunes evicted records by age, then by count, and tells the invalidators OnEvicted.
    // Takes m_lock itself (re-entrantly); the invalidators are called after releasing that one
    // hold, so inside an operation that holds the lock they still run under it. (Hence not
    // VEL_EXCLUDES(m_lock): it is called both with and without the lock.)
    void PruneEvictedEntries();
    // Prunes the oldest evicted copy and notes its guid under its cache in `removals`.
    // REQUIRES: m_lock held; m_evictedEntries not empty.
    void PruneEvictedEntriesHelperNoLock(
        std::map<ICoherentCache*, std::vector<unsigned int>>& removals) VEL_REQUIRES(m_lock);
    // Logs an inconsistency that pruning survives, at Error with the pair's attributes.
    void LogPairError(const char* message, std::uint32_t code, const char* site, unsigned int guid,
                      const ICoherentCache* cache) const;
    // REQUIRES: m_lock held.
    void SetPlaceholderCounter() const VEL_REQUIRES(m_lock);

    TReadWriteLock m_lock{0};
    // Guarded by m_lock.
    std::map<HashPair, std::vector<CacheEntryInfo>> m_keyhashToCacheEntries VEL_GUARDED_BY(m_lock);
    std::set<GuidAndCache> m_removeBeforeAddPlaceholders VEL_GUARDED_BY(m_lock);
    std::set<GuidAndCache> m_evictedGuidAndCache VEL_GUARDED_BY(m_lock);
    std::multimap<long long, CacheEntryInfo> m_evictedEntries VEL_GUARDED_BY(m_lock);
    std::map<GuidAndCache, HashPair> m_guidAndCacheToKeyHash VEL_GUARDED_BY(m_lock);
    // Caches forgotten by OnRemoved(cache) while tasks were pending, with the last launch number
    // at that moment: tasks launched up to it leave the cache alone. Emptied whenever
    // OnRemoved(cache) finds no task pending.
    std::map<ICoherentCache*, std::uint64_t> m_forgotten VEL_GUARDED_BY(m_lock);
    // While dirty records are being told (m_notifyDepth > 0), the caches that OnRemoved(cache)
    // forgot meanwhile: they are not called any more.
    int m_notifyDepth VEL_GUARDED_BY(m_lock) = 0;
    std::vector<ICoherentCache*> m_forgottenWhileNotifying VEL_GUARDED_BY(m_lock);

    // Constant after construction.
    TString m_namespace;
    PublishFunction m_publish;
    IRedisSubscriptionManager* m_subscriptionManager;     // m_adapter's, or the one given
    std::unique_ptr<RedisSubscriptionAdapter> m_adapter;  // durable instances only
    TLog::NonErrorSeverity m_logSeverity;
    bool m_loggingEnabled;
    bool m_dryRun;
    bool m_async;
    bool m_skipKnownFills;  // for OnAdded
    int m_minimumDeltaSeconds;
    // Constant after construction, except through the test hook (single-threaded tests only).
    int m_evictedLifetimeSec;
    int m_maxEvictedEntries;  // never negative

    // Background tasks launched and not yet finished; the destructor waits for none to be left.
    TMutex m_tasksMutex VEL_ACQUIRED_AFTER(m_lock);
    std::condition_variable m_tasksDone;
    int m_pendingTasks VEL_GUARDED_BY(m_tasksMutex) = 0;
    // The last launch number given.
    std::uint64_t m_taskSeq VEL_GUARDED_BY(m_tasksMutex) = 0;

    // Durable side; constant after construction except m_streamOn (cleared once for a server
    // without streams).
    RedisSubscriptionManager* m_redis = nullptr;  // null: publish function and manager as given
    long long m_maxDeafNs = 0;  // CacheSynchronizationMaxDeafMs of a service with m_redis
    long long m_lastGapNs = 0;  // when CatchUp last found a gap; delivery thread only
    mutable std::atomic<long long> m_lastHeardNs{0};  // see LastHeardNs; any thread
    std::string m_startCause;  // MarkUnreachableAtStart's; constant once the service is shared
    std::atomic<bool> m_streamOn{false};
    TString m_streamKey;
    int m_streamCap = 0;
    bool m_flushOnGap = false;
    std::size_t m_queueLimit = 0;
    TMutex m_durableMutex;
    // stream id of the last entry applied; "" before the first sync
    std::string m_lastApplied VEL_GUARDED_BY(m_durableMutex);
    std::string m_runId VEL_GUARDED_BY(m_durableMutex);  // the server's run id at that time
    // live announcements the resume point has not passed yet
    std::unordered_set<std::uint64_t> m_seenLive VEL_GUARDED_BY(m_durableMutex);
    std::uint64_t m_catchUps VEL_GUARDED_BY(m_durableMutex) = 0;  // catch-ups begun on the stream
    long long m_followNs = 0;  // CacheSynchronizationReplayFollowMs; 0: no following
    // channel -> newest unfinished announcement
    std::map<std::string, Unsent> m_queue VEL_GUARDED_BY(m_durableMutex);
    long long m_lostAppends VEL_GUARDED_BY(m_durableMutex) = 0;  // appends given up, not yet marked
    bool m_stopRetry VEL_GUARDED_BY(m_durableMutex) = false;
    // Stop: the retry thread sends what is queued while a command can still end by m_flushBy,
    // then leaves; afterwards nothing is queued any more (a failure is dropped).
    bool m_flushing VEL_GUARDED_BY(m_durableMutex) = false;
    std::chrono::steady_clock::time_point m_flushBy VEL_GUARDED_BY(m_durableMutex);
    std::chrono::nanoseconds m_commandTimeout{0};  // of m_redis; constant after construction
    bool m_stopped VEL_GUARDED_BY(m_durableMutex) = false;
    std::condition_variable m_retryWake;  // the retry thread waits on it (with m_durableMutex)
    // Set when an append or every publish failed, cleared when one succeeds again: while set,
    // announcements go to the queue without being tried.
    std::atomic<bool> m_streamDown{false};
    std::atomic<bool> m_publishDown{false};
    std::thread m_retryThread;  // durable instances only
    // Logs and tells the host of state changes; durable instances only (RedisPubsubState.cpp).
    std::unique_ptr<CoherenceStateWatch> m_state;

    // Received announcements; a leaf with its own lock.
    ArrivalTable m_arrivals;
    TMutex m_listenersMutex;  // a leaf: the listeners are called from a copy
    std::map<std::uint64_t, PruneListener> m_pruneListeners VEL_GUARDED_BY(m_listenersMutex);
    std::uint64_t m_nextListener VEL_GUARDED_BY(m_listenersMutex) = 0;

    // Health figures: one atomic per counter of VELCACHE_COHERENCE_HEALTH, under the public
    // name (the gauges are read when GetHealth asks).
#define VELCACHE_HEALTH_ATOMIC_Counter(member) std::atomic<long long> member{0};
#define VELCACHE_HEALTH_ATOMIC_Gauge(member)
#define VELCACHE_HEALTH_ATOMIC(member, tag, kind, initial, help) \
    VELCACHE_HEALTH_ATOMIC_##kind(member)
    struct Counters {
        VELCACHE_COHERENCE_HEALTH(VELCACHE_HEALTH_ATOMIC)
        std::atomic<long long> lastMessageNs{0};  // steady clock; 0: none yet
    } m_counters;
#undef VELCACHE_HEALTH_ATOMIC
#undef VELCACHE_HEALTH_ATOMIC_Gauge
#undef VELCACHE_HEALTH_ATOMIC_Counter
    // What the caches did while the service heard nothing, and what gaps flushed: running
    // totals, told at the end of each outage (CoherenceStateWatch::OutageFigures).
    struct SilenceTotals {
        std::atomic<long long> loads{0}, holds{0}, failSafe{0}, flushed{0};
    } m_silence;
    TMutex m_healthMutex;
    // (steady ns, lag ms)
    std::deque<std::pair<long long, long long>> m_lags VEL_GUARDED_BY(m_healthMutex);
};

}  // namespace velmora::caching
