// RedisPubsub: the process's cross-process coherence service over Redis publish/subscribe
// (docs/concepts.md, "Coherence").
//
// Caches report every entry they add (OnAdded) and evict (OnRemoved); every process of the
// namespace hears every announcement and marks dirty its own older entries of the key hash
// whose content differs. Ownership: the service owns none of the caches (the host calls
// OnRemoved(cache) before destroying one it registered) and borrows the subscription manager.
// Threads and locks: safe for concurrent use; one re-entrant lock, held while caches and
// invalidators are told OnDirty, so the lock order is this service, then a cache's lock, then
// the cascade aggregator's; nothing that holds those may wait for the service. Publishing runs
// outside the lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VelcacheExport.h"
#include "caching/CacheCoherence.h"
#include "velcoreplatform/TString.h"

namespace velmora::caching {

class RedisSubscriptionManager;

/// The coherence service's figures, one line each: X(member, tag, kind, initial, help). A
/// Counter only grows while the service lives; a Gauge is a level. CoherenceHealth holds them as
/// members of its own; GetHealth reports them under their tags in the metrics scope
/// "RedisPubsub::Health", described with their kind and help (an OpenMetrics sink renders a
/// counter as velcache_redispubsub_health_<tag with '_'>_total). A new figure is one line here,
/// and its counting where it happens.
#define VELCACHE_COHERENCE_HEALTH(X)                                                          \
    X(published, "published", Counter, 0, "Announcements sent (re-sent ones included).")      \
    X(received, "received", Counter, 0, "Messages delivered live by the subscription.")       \
    X(applied, "applied", Counter, 0,                                                         \
      "Announcements run through the dirty rule, live or replayed.")                          \
    X(replayed, "replayed", Counter, 0, "Announcements applied from the stream after a gap.") \
    X(duplicates, "duplicates", Counter, 0,                                                   \
      "Replayed announcements already applied live (counted once).")                          \
    X(malformed, "malformed", Counter, 0, "Messages that could not be read.")                 \
    X(publishFailuresQueued, "publish-failures-queued", Counter, 0,                           \
      "Failed publishes put in the retry queue.")                                             \
    X(resent, "resent", Counter, 0, "Queued announcements sent later.")                       \
    X(dropped, "dropped", Counter, 0, "Failed publishes lost: the retry queue full or off.")  \
    X(superseded, "superseded", Counter, 0,                                                   \
      "Queued announcements replaced by a newer one of their key hash (nothing lost).")       \
    X(queuedNow, "queued-now", Gauge, 0, "Announcements waiting in the retry queue now.")     \
    X(replayBehind, "replay-behind", Gauge, 0,                                                \
      "Announcements heard live that the replay's resume point has not passed yet.")          \
    X(gaps, "gaps", Counter, 0,                                                               \
      "Re-subscriptions after which announcements were lost, and silences after which they "  \
      "may be late.")                                                                         \
    X(conservativeFlushes, "conservative-flushes", Counter, 0,                                \
      "Gaps answered by treating every entry as dirty.")                                      \
    X(resubscriptions, "resubscriptions", Counter, 0,                                         \
      "Subscriptions re-established after a loss.")                                           \
    X(lastMessageAgeMs, "last-message-age-ms", Gauge, -1,                                     \
      "Since the last message applied, ms; -1: none yet.")                                    \
    X(lagP50Ms, "lag-p50-ms", Gauge, -1,                                                      \
      "p50 of the live messages' delivery lag over the last minute, ms; -1: none.")           \
    X(lagP99Ms, "lag-p99-ms", Gauge, -1,                                                      \
      "p99 of the live messages' delivery lag over the last minute, ms; -1: none.")           \
    X(appendFailuresQueued, "append-failures-queued", Counter, 0,                             \
      "Announcements published, but queued for the stream append.")                           \
    X(appendsLost, "appends-lost", Counter, 0,                                                \
      "Appends given up (a gap marker goes to the stream).")                                  \
    X(fillsNotPublished, "fills-not-published", Counter, 0,                                   \
      "Fills whose content everyone had been told of.")                                       \
    X(skippedPublishedLater, "skipped-published-later", Counter, 0,                           \
      "Of the fills not published, those published when other content arrived.")              \
    X(reannounced, "reannounced", Counter, 0,                                                 \
      "Changes announced again after a fill from here that raced them.")

/// What the coherence service has seen since it was made (GetHealth): one member per line of
/// VELCACHE_COHERENCE_HEALTH (see there what each is). The delivery lag is meaningful when hosts
/// stamp entries with DateTime::UtcNow.
struct CoherenceHealth {
#define VELCACHE_COHERENCE_HEALTH_MEMBER(member, tag, kind, initial, help) \
    long long member = initial;
    VELCACHE_COHERENCE_HEALTH(VELCACHE_COHERENCE_HEALTH_MEMBER)
#undef VELCACHE_COHERENCE_HEALTH_MEMBER
};

/// The platform's Redis subscription manager as the transport the coherence service subscribes
/// through (the manager itself knows nothing of the library's interfaces). Borrows the manager,
/// which must outlive it. Safe for concurrent use, as the manager is.
class VELCACHE_EXPORT RedisSubscriptionAdapter final : public IRedisSubscriptionManager {
public:
    /// Borrows `manager`, which must outlive the adapter. Without `waitForConfirmation`,
    /// Subscribe returns at once rather than waiting for the server to confirm (for a server
    /// known not to answer).
    explicit RedisSubscriptionAdapter(RedisSubscriptionManager& manager,
                                      bool waitForConfirmation = true)
        : m_manager(manager), m_wait(waitForConfirmation) {}
    /// Both pass straight on to the manager, with its contract.
    void Subscribe(const TString& channelPattern, const Callback& callback) override;
    void Unsubscribe(const TString& channelPattern) override;

private:
    RedisSubscriptionManager& m_manager;
    const bool m_wait;
};

/// The process's cross-process coherence service over Redis publish/subscribe (see the file's
/// opening comment and docs/concepts.md). Safe for concurrent use.
class VELCACHE_EXPORT RedisPubsub : public ICacheCoherence {
public:
    /// Sends one message on one channel.
    using PublishFunction = std::function<void(const TString& channel, const TString& message)>;

    /// The process's service in namespace "defaultns.", subscribed through the Redis client's
    /// subscription manager and publishing through it. Made on the first call (concurrent first
    /// calls make one) and kept until the process ends; each call first makes sure the
    /// subscription manager exists. Never raises: when the configured server cannot be reached
    /// at its making, one line at Error says where and why, and the service hears once it can.
    static std::weak_ptr<RedisPubsub> GetInstance();

    /// A service of the host's own namespace `ns`, like the process's (announcements also in
    /// the stream "{<ns>}announcements", replay after gaps, failed announcements re-sent), that
    /// subscribes and publishes through the process's subscription manager (made first when
    /// needed). The caller owns the result; destroying it waits for its background tasks and
    /// unsubscribes, after which the namespace may be given to a new service.
    /// Raises VelmoraException when `ns` is empty or a service of this process is already
    /// subscribed under it (the process's own service has "defaultns."), and when the server of
    /// GetRedisConfiguration refuses the connection, does not answer, rejects the credentials or
    /// fails the TLS handshake, within its connect time-out plus one command time-out (on a
    /// cluster: when no seed answers): "Coherence service "NS": cannot reach Redis at
    /// HOST:PORT: CAUSE". With CacheSynchronizationStartDegraded the same words are logged
    /// at Error instead and the service is returned; it hears once the server answers.
    /// REQUIRES: no other namespace used in the process begins with `ns` (its channels would
    /// match this service's pattern and read as malformed announcements).
    static std::shared_ptr<RedisPubsub> Create(const TString& ns);

    /// What a service made on a subscription manager of the caller's own takes from the caller
    /// rather than from the process-wide options.
    struct Settings {
        /// As CacheSynchronizationMaxDeafMs, for this service alone (0: no bound).
        int maxDeafMs = 600;
        /// As CacheSynchronizationStartDegraded, for this making alone.
        bool startDegraded = false;
        /// What the caller's own probe of the manager's server found just before ("" when it
        /// answered; the cause otherwise, as ProbeRedis words it); unset: Create probes.
        std::optional<std::string> probed;
    };
    /// As Create(ns), on `manager` (its endpoint, its connections, its delivery thread) and with
    /// `settings`: a host that talks to several servers makes one manager and one service for
    /// each. Raises as Create(ns) does, naming the manager's endpoint. The caller owns the
    /// result. REQUIRES: `manager` outlives the result; no other namespace subscribed through
    /// `manager` begins with `ns`.
    static std::shared_ptr<RedisPubsub> Create(const TString& ns, RedisSubscriptionManager& manager,
                                               const Settings& settings);

    /// A new, independent service in namespace `ns` that subscribes through `manager` and
    /// publishes through `publish`. The caller owns the result.
    /// REQUIRES: the unit-test flag of AppConfig is on
    /// ("AppConfig::GetInstance().GetUnitTestFlag()"); `manager` outlives the result.
    static std::shared_ptr<RedisPubsub> CreateTestInstance(const TString& ns,
                                                           IRedisSubscriptionManager& manager,
                                                           PublishFunction publish);

    /// A service like the process's own (announcements appended to the stream, replay after
    /// gaps, failed publishes queued) that subscribes and publishes through `manager`. The caller
    /// owns the result.
    /// REQUIRES: the unit-test flag of AppConfig is on; `manager` outlives the result.
    static std::shared_ptr<RedisPubsub> CreateTestInstance(const TString& ns,
                                                           RedisSubscriptionManager& manager);

    /// What Stop did with the announcements its retry queue held.
    struct StopFigures {
        long long published = 0;  ///< sent during the stop
        long long dropped = 0;    ///< given up at the deadline (also counted in `dropped`)
    };
    /// Stops the service: waits for its background tasks, sends what its retry queue holds and
    /// unsubscribes; when it returns, none of its threads or subscription callbacks runs. While
    /// the server answers, the queue is sent until `deadline` passes; while it does not, each
    /// try begins only when one command time-out still fits before the deadline, so Stop returns
    /// within the deadline unless the server stops answering during the last try (then at most
    /// one command time-out later). What is left then is dropped and returned. Afterwards the
    /// service still files and marks entries in this process, and a failed announcement is
    /// dropped rather than queued. Idempotent (a second call returns zeros). Not for the
    /// service of GetInstance, which lives until the process ends.
    StopFigures Stop(std::chrono::milliseconds deadline);

    /// Waits for this instance's background tasks, then unsubscribes: when it returns, no
    /// subscription callback of this instance runs.
    ~RedisPubsub() override;
    RedisPubsub(const RedisPubsub&) = delete;
    RedisPubsub& operator=(const RedisPubsub&) = delete;

    /// Files the entry under `keyhash` and publishes its message. The entry is not filed, and
    /// nothing is published, when an earlier removal of (guid, cache) is waiting for it (the
    /// entry is gone already) or when it is itself dirty against a record already filed under
    /// `keyhash` (its cache and the invalidators are told at once). An expired `cache` is not
    /// filed but the message is still published. With AsyncCacheCoherence the work runs as a
    /// background task and only totalMs (the launch) is reported. Raises std::bad_function_call
    /// when the publish function is empty, and what the publish function raises.
    OnAddedMetrics OnAdded(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                           unsigned int guid, std::weak_ptr<ICoherentCache> cache) override;
    /// Forgets every record of `cache` (placeholders excepted) and then tells every invalidator
    /// OnEvicted with the guids that were tracked, in ascending order (also when there were
    /// none). Opens no metrics scope and prunes nothing. With AsyncCacheCoherence, background
    /// tasks launched for `cache` before this call no longer file or mark it once this returns.
    void OnRemoved(const ICoherentCache& cache) override;
    /// Marks the entries evicted (kept for a while, see the pruning limits); a guid that is not
    /// filed leaves a placeholder that its later OnAdded consumes. Changes nothing when `guids`
    /// is empty or `cache` expired. With AsyncCacheCoherence runs as a background task.
    OnRemovedMetrics OnRemoved(const std::vector<unsigned int>& guids,
                               std::weak_ptr<ICoherentCache> cache) override;
    /// Sets the maximum number of evicted records and their lifetime in seconds, each when 0 or
    /// more (a negative argument keeps the current limit), then prunes. Writes the limits
    /// without the lock: single-threaded tests only.
    /// REQUIRES: the unit-test flag of AppConfig is on.
    void TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries, int evictedLifetimeSec) override;

    /// Sizes of the tracking tables, for tests. Checks the tables' invariants first and raises
    /// LogicException naming the broken one.
    struct TrackingCounts {
        size_t keyHashes = 0;     ///< key hashes with records
        size_t records = 0;       ///< records, live and evicted
        size_t evicted = 0;       ///< records marked evicted
        size_t placeholders = 0;  ///< removals waiting for their addition
    };
    /// REQUIRES: the unit-test flag of AppConfig is on.
    TrackingCounts GetTrackingCountsTestOnly() const;

    /// The service's figures now; the same figures also go to the metrics sink as one scope
    /// "RedisPubsub::Health" with a tag per field. Any thread; takes no lock of the tables.
    CoherenceHealth GetHealth() const;

    // ---- For read-through caches (beside the coherence interface) ----

    /// As OnAdded, except that a fill whose content is already the newest announcement received
    /// for its key hash is filed but not published (counted in fillsNotPublished); OnAdded does
    /// the same when CacheSynchronizationSkipKnownFills is on. Why no process misses a change:
    /// a publish can only make dirty the records of other content older than it; the newest
    /// announcement, of the same content, was received here, so it reached every subscriber
    /// (or its loss shows as a gap, answered by replay or the conservative flush), and every
    /// record it could not make dirty (content older within the margin, or newer content
    /// whose own announcement is newer still) is handled so: a skipped fill is remembered, and
    /// when an announcement of other content for its key produced before the fill arrives
    /// afterwards (a change that was still in flight) the fill is published at once; one
    /// produced after the fill is owed nothing (the fill's announcement could make only older
    /// records dirty). Only announcements received since the
    /// last (re)subscription or gap count; sent ones count once they come back. A key hash the
    /// table does not know is published as before.
    OnAddedMetrics OnFilled(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                            unsigned int guid, std::weak_ptr<ICoherentCache> cache);

    /// How OnLoaded files and announces a fill.
    struct FillMode {
        /// As OnFilled: a fill of the newest content received for its key hash is not published.
        bool skipKnown = true;
        /// The record is dirty as soon as an announcement of its key hash with another data
        /// hash arrives (live, or the newest of its key hash in a replay), whatever either
        /// timestamp says: every record held when it arrives was loaded before it. No margin
        /// and no clock of another machine can then keep an entry past a change this process
        /// has heard of; a late announcement of an older change costs a load, never a stale
        /// answer. Off: the dirty rule with its margin, as for OnAdded.
        bool dropOnArrival = true;
        /// When the fill's load started (FillClockNs), with dropOnArrival: a fill published
        /// here can reach the server after a change that arrives here later, and every process
        /// would then take the fill's old content for the last news of its key. When a change
        /// of other content arrives after the load started (before or after the publish), its
        /// announcement is made again, after the fill's. 0: not tracked.
        long long loadStartNs = 0;
    };
    /// OnAdded (or OnFilled with mode.skipKnown) for a value this process loaded or read below
    /// memory, its record judged as `mode` says. What read-through caches call.
    OnAddedMetrics OnLoaded(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                            unsigned int guid, std::weak_ptr<ICoherentCache> cache, FillMode mode);

    // The service remembers every announcement it receives (live, replayed, its own; at the
    // first subscription also what the stream holds from the last
    // CacheSynchronizationArrivalsKeepSec seconds) for that many seconds and at most
    // CacheSynchronizationArrivalsMax of them, and the moments it may have missed some (a gap,
    // a conservative flush, a re-subscription without the stream). Any thread; each takes only
    // the table's own leaf lock.

    /// The steady-clock moment (nanoseconds) a load starts at, for MayFill.
    static long long FillClockNs();
    /// Whether a value of content `hash` for `keyhash`, whose load started at `loadStartNs`,
    /// may be kept: not when, since then, an announcement of `keyhash` with another data hash
    /// arrived or announcements may have been missed. Decided by arrival, not by timestamps.
    bool MayFill(HashPair keyhash, HashPair hash, long long loadStartNs) const;
    /// Whether a stored value of content `hash` for `keyhash`, produced at `producedAt` (raw
    /// DateTime), may be served: not when an announcement of `keyhash` with another data hash
    /// produced later is known, when it is older than the table's horizon (the lifetime of
    /// such values), or when it predates what the table can vouch for.
    bool MayServe(HashPair keyhash, HashPair hash, unsigned long long producedAt) const;
    /// How long stored values may live: CacheSynchronizationArrivalsKeepSec, in seconds.
    long long ValueLifetimeSec() const;
    /// When this process heard that content `answered` of `keyhash` had been replaced: the first
    /// arrival (FillClockNs), after the last arrival of `answered` at or before `answerNs`, of an
    /// announcement of `reloaded` or of an invalidation of the key (when `answered` had not
    /// arrived by `answerNs`, a value just loaded: the last such arrival before `answerNs`, else
    /// the first after it). For the read-through cache's auditor.
    struct ChangeHeard {
        /// The arrival; -1 when none is known.
        long long heardNs = -1;
        /// The last moment (FillClockNs) announcements may have been missed (a gap, a silence, a
        /// conservative flush) or the table let an arrival go early; 0: never.
        long long lostNs = 0;
        /// When the table of arrivals began (FillClockNs): nothing before is known.
        long long knownFromNs = 0;
        /// The first arrival of any content other than `answered` after that last arrival of
        /// `answered` (after `answerNs` when there was none); -1 when none. A publisher that
        /// could not reach the server sends only the newest content of a key when it can.
        long long otherNs = -1;
        /// The arrivals of the key the table holds: what a log line about the key can say.
        int arrivals = 0;
        /// The newest arrival's moment; -1: none.
        long long newestNs = -1;
        /// Whether the newest arrival was of `answered`.
        bool newestAnswered = false;
    };
    /// See ChangeHeard. Any thread; takes the table's leaf lock.
    ChangeHeard HeardOfChange(HashPair keyhash, HashPair answered, HashPair reloaded,
                              long long answerNs) const;
    /// Whether this process heard from the announcement server within the last
    /// CacheSynchronizationMaxDeafMs, its subscription live: no announcement made longer ago
    /// can have been kept from it by a lost, frozen or re-subscribing connection. Read-through
    /// and derived-result caches serve nothing they hold while it is false (they load from the
    /// source instead), so that a change reaches their answers within that bound even when its
    /// announcement cannot. Always true with the option 0 and for a test instance (whose
    /// manager is the caller's). Any thread; lock-free.
    bool Hears() const;
    /// Hears, judged at `nowNs` (FillClockNs) rather than at a reading of its own: a caller that
    /// holds an upper bound of the present (SteadyNowUpperBoundNs) judges a silence a little
    /// early, never late.
    bool HearsAt(long long nowNs) const;
    /// The last moment (FillClockNs) this process heard from the server with its subscription
    /// live; 0 before the first. A load that started after it started during the current
    /// silence, if there is one. FillClockNs() for a service that is always heard (see Hears).
    /// Any thread; lock-free.
    long long LastHeardNs() const;
    /// CacheSynchronizationMaxDeafMs as this service applies it, in nanoseconds; 0: off.
    long long SilenceBoundNs() const;
    /// What a cache of the service did while it heard nothing (see Hears): a load from the
    /// source, an answer from a value loaded during the silence, a fail-safe answer.
    enum class SilentAnswer { Load, Hold, FailSafe };
    /// Counts `kind` (see SilentAnswer), said at the end of the outage. Any thread; lock-free.
    void CountSilentAnswer(SilentAnswer kind);
    /// Why the service cannot hear its server, in the words Create raises ("Coherence service
    /// "NS": cannot reach Redis at HOST:PORT: CAUSE"); "" when it has heard from it (or
    /// has no server of its own). A service found unreachable when it was made answers that
    /// cause at once until it is first heard; any other probes the server while it was never
    /// heard from: at most the connect time-out plus one command time-out. Any thread.
    std::string Unreachable() const;

    /// Told of every evicted record the service lets go (by age, by count, or OnRemoved(cache)),
    /// right after the invalidators' OnEvicted, on the same thread and under the same lock: a
    /// listener must not wait for the service. Returns the id that removes it.
    using PruneListener =
        std::function<void(const std::vector<unsigned int>& guids, const ICoherentCache* cache)>;
    /// Adds a prune listener (see PruneListener).
    std::uint64_t AddPruneListener(PruneListener listener);
    /// When it returns, the listener is not called any more (unless it is running now).
    void RemovePruneListener(std::uint64_t id);

    // ---- State changes ----

    /// Hearing: the subscription is live and heard from within CacheSynchronizationMaxDeafMs.
    /// Silent: nothing heard for longer (or the connection is lost): read-through and
    /// derived-result caches serve nothing they held and load from the source. CatchingUp:
    /// (re)subscribing and replaying what was missed; caches behave as while silent.
    enum class CoherenceState { Hearing, Silent, CatchingUp };
    /// One change told to state listeners.
    struct CoherenceEvent {
        CoherenceState state;  ///< the state after the change
        std::string what;      ///< "silent", "catching-up", "hearing", "gap" or "restarted"
        std::string endpoint;  ///< the server: "host:port", a socket path or a cluster's seeds
        std::string message;   ///< the line logged (Warn for silent, gap, restarted; else Info)
    };
    /// Told of each CoherenceEvent.
    using StateListener = std::function<void(const CoherenceEvent&)>;
    /// Every change of state, every gap found (announcements may have been missed) and every
    /// restart of the server seen is logged once (the first hearing after a normal start at
    /// Debug) and told to every listener once, in order, on a thread of the service with NO
    /// lock of the library held: a listener may call the service, but must not drop the last
    /// reference to it. A service that is always heard (see Hears) has no changes. Returns the
    /// id that removes the listener; when RemoveStateListener returns, the listener is not
    /// called any more (unless it is running now, on another thread).
    std::uint64_t AddStateListener(StateListener listener);
    /// Removes a listener AddStateListener added (see there).
    void RemoveStateListener(std::uint64_t id);
    /// The state as last noticed (changes are noticed within about 100 ms).
    CoherenceState State() const;

    class Impl;

private:
    explicit RedisPubsub(const TString& ns = "defaultns.");
    RedisPubsub(const TString& ns, IRedisSubscriptionManager& manager, PublishFunction publish);
    RedisPubsub(const TString& ns, RedisSubscriptionManager& manager);
    RedisPubsub(const TString& ns, RedisSubscriptionManager& manager, int maxDeafMs,
                bool waitForConfirmation = true);

    std::unique_ptr<Impl> m_impl;
};

}  // namespace velmora::caching
