// The engine of the read-through cache. Private to the library: ReadThroughCache.cpp (Get: the
// memory look, single flight, leases, fail-safe answers, background loads) and
// ReadThroughLayers.cpp (the external layers, fills, stores, Set, Invalidate, counters).
//
// Locks: m_flightsMutex and m_backgroundMutex are leaves, and so are a flight's mutex, the
// fail-safe store's and the memory cache's own; the loader, the codec, the layers and the
// coherence service are called with none of them held.
//
// How the read-through cache works, in full:
// ReadThroughCache<V>: get a value, or load it once. The layers, the coherence protocol and its
// races, done for the host.
//
// Get(key, loader) looks in memory (a lock-protected indexed cache of the instance's own), then
// in each external layer in order, then runs the loader. A value found in a lower layer fills
// every layer above it; a loaded value is stored in every layer. The result says where the
// value came from.
//
// Keys and hashes. A key is any byte string. Its coherence key hash is THash128 of
// "<name>\n<key>" (the name of the instance, ReadThroughOptions::name, namespaces it: instances
// of one name in different processes share keys, instances of different names never do). Its
// external key is "rt.<name>.<key hash>". The data hash of a value is THash128 of its encoded
// bytes.
//
// The codec. encode turns a value into bytes; it must be deterministic (equal values, equal
// bytes: equal data hashes are what tells the coherence protocol that nothing changed). decode
// turns bytes back into a value, or returns null for bytes it cannot read (counted as a
// rejected lower-layer value, then loaded anew); what either raises propagates to the caller
// of Get (on a lower-layer read: counted as rejected, then loaded anew).
//
// Coherence. Every memory entry is reported to the service: OnAdded with the key hash, the
// data hash and, as timestamp, the moment the value's load started (for a value from a lower
// layer: the moment stored with it); replacements and evictions with OnRemoved; the cache
// itself with OnRemoved(cache) before it goes. A fill is dropped (the caller still gets its
// value, uncached, and the drop is counted) when, between the start of its load and its fill,
// an announcement of its key with another data hash arrived or announcements may have been
// missed (RedisPubsub::MayFill); the verdict comes twice, before the entry is announced and
// after, and the lower layers are written only after both. Values in lower layers carry a small
// envelope (data hash, production time, key, optionally a signature): one older than an announced
// change of its key, older than the service's horizon (RedisPubsub::ValueLifetimeSec), or
// unreadable is not served (RedisPubsub::MayServe), and is loaded anew. Without a service, nothing
// is announced and values live ReadThroughOptions::valueLifetimeSec. Memory entries filed with the
// service are dropped as soon as an announcement of their key with another data hash arrives
// (by arrival, not by clocks: no margin and no clock skew between machines keeps an entry past
// a change this process has heard of); a lower-layer value is served only when its data hash is
// that of the newest announcement of its key that arrived. Memory entries past the values'
// lifetime count as misses. While the service has not heard from its server for
// CacheSynchronizationMaxDeafMs (a lost, frozen or re-subscribing connection:
// RedisPubsub::Hears), a Get serves nothing held from before the silence, in memory or a lower
// layer: it loads (counted as deafLoads), so that a change whose announcement cannot arrive
// still reaches the answers within that bound; what it loads meanwhile answers for at most that
// bound (holdDeafLoads), and the lower layers are left alone until the service hears again.
// What the host guarantees: a loader reads data at least as new as every change announced
// before the load started (not a replica that lags its primary).
// A loader must be deterministic too: two processes loading different content for one unchanged
// key drop each other's entries on every load.
//
// Single flight. Concurrent Gets of one key in this process run the loader once; the others
// wait for it, at most loadWaitMs, and share its result (counted). When the load raises, every
// waiter raises the same exception; a waiter whose wait passes loadWaitMs stops waiting and
// loads for itself (counted). With a fail-safe value at hand (see the options), a failing or
// slow load answers with it instead, marked stale, to the caller and to every waiter. Across
// processes, leases (see the options and caching/LoadLeases.h) let one process load.
//
// Cascade invalidation. The memory entry a Get returns is reported as used to the process's
// aggregator on the caller's thread (when SyncCaches is on and a thread context is bound), even
// when another thread loaded it, so it is recorded in the caller's query-job scope.
//
// External loads. A layer that is an ExternalCache is read on the caller's thread (its guarded
// load with its semaphore, log line and metrics scope, no task hop) when inlineExternalLoads is
// on: Redis loads are bounded by the client's command time-out, disk loads by the file system
// (a local read of one file). Other layers, or with the option off, are read through their
// future, waiting at most externalWaitMs. Stores go out in the background as the external
// caches' own tasks.
//
// Checking answers. With ReadThroughOptions::audit, a sample of the answers is re-loaded from
// the source on a thread of the cache's (bounded in rate and in memory) and judged by when this
// process heard of the change; GetCounters().audit says how many were inconsistent (see
// docs/consistency.md). Off by default: the re-loads are extra load on the source.
//
// Ownership and threads: the instance owns its memory cache and borrows the service and the
// layers (held by shared pointer). Every member is safe for concurrent use. The loader and the
// codec run on the caller's thread with no lock of the cache held; the service's lock is taken
// by OnAdded and OnRemoved as the service states.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "caching/CacheTags.h"
#include "caching/FrequencyPolicy.h"
#include "caching/ReadThroughAuditor.h"
#include "caching/ReadThroughCache.h"
#include "caching/ReadThroughEnvelope.h"
#include "caching/ReadThroughFailSafe.h"
#include "caching/ReadThroughMemory.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velsys/Locks.h"
#include "velsys/SteadyClock.h"

namespace velmora::caching {

namespace readthrough {

// The memory entries that carry each tag, by a 64-bit hash of the tag (a collision drops an
// entry that was still good, never keeps one that is not), with the stamp each was loaded under.
// An entry that went another way (replaced, evicted) stays as long as the coherence service keeps
// its evicted record, which results derived from it still depend on: an invalidation of its tag
// tells them too. It leaves when the service lets the record go (Forget), or, without a service,
// at a sweep (when the index has doubled since the last one) that finds it gone from memory.
// Thread contract: safe for concurrent use; its mutex is a leaf but for the key table's (Sweep).
class TagIndex {
public:
    struct Entry {
        std::uint64_t slot;
        unsigned int guid;
        TagStamp loadedUnder;
    };
    static std::uint64_t HashOf(const std::string& tag);
    // `sweepBy`: the key table a sweep checks (null: no sweep; Forget lets entries go).
    void Add(const CacheTagSet& tags, std::uint64_t slot, unsigned int guid,
             const KeyTable* sweepBy);
    // Lets the entries of `guids` go.
    void Forget(const std::vector<unsigned int>& guids);
    // Takes out the entries of `tag` loaded under a stamp older than `stamp`; with an empty
    // tag, every entry.
    std::vector<Entry> Take(const std::string& tag, TagStamp stamp);

private:
    // Takes `guid`'s entry of tag `hash` out of m_byGuid.
    void Unlink(unsigned int guid, std::uint64_t hash) VEL_REQUIRES(m_mutex);
    TMutex m_mutex;
    std::unordered_map<std::uint64_t, std::vector<Entry>> m_byTag VEL_GUARDED_BY(m_mutex);
    std::unordered_map<unsigned int, std::vector<std::uint64_t>> m_byGuid VEL_GUARDED_BY(m_mutex);
    std::size_t m_size VEL_GUARDED_BY(m_mutex) = 0;
    std::size_t m_sweepAt VEL_GUARDED_BY(m_mutex) = 4096;
};

unsigned long long UtcNow();

// Set when a fill on this thread was dropped by its verdict (FillAndStore); the flight that ran
// it reads and clears it.
extern thread_local bool t_fillRaced;

}  // namespace readthrough

class ReadThroughCore::Impl : public std::enable_shared_from_this<ReadThroughCore::Impl> {
public:
    using AnyValue = readthrough::AnyValue;

    Impl(ReadThroughOptions options, ReadThroughCore::Encode encode, ReadThroughCore::Decode decode,
         std::shared_ptr<RedisPubsub> service);
    ~Impl();

    Result Get(const std::string& key, const Loader& loader);
    // A memory hit that needs no loader (see ReadThroughCore::GetFromMemory).
    std::optional<Result> AnswerFromMemory(const std::string& key);
    // AnswerFromMemory with the value lent to `visit` (see ReadThroughCore::VisitFromMemory).
    bool VisitFromMemory(const std::string& key, void (*visit)(const void* value, void* context),
                         void* context);
    // Raises when the cache's host was stopped (ReadThroughOptions::hostStopped).
    void CheckRunning() const;
    std::vector<Result> GetMany(const std::vector<std::string>& keys,
                                const std::shared_ptr<const KeyLoader>& loader);
    Result TryGet(const std::string& key);
    // The loader of SetLoader; raises when none is set.
    std::shared_ptr<const KeyLoader> DefaultLoader() const;
    void SetLoader(KeyLoader loader);
    // `lifetimeSec` 0: the cache's lifetime of values.
    unsigned int Set(const std::string& key, const AnyValue& value, long long lifetimeSec = 0,
                     const std::vector<std::string>* tags = nullptr);
    void Invalidate(const std::string& key);
    void InvalidateTag(const std::string& tag);
    // Listens to the tag invalidations (after construction); StopTags: when it returns, no
    // listener call runs for this engine.
    void StartTags();
    void StopTags();
    void Clear();
    // Reads the generation and subscribes to the clear channel (when there is one); after
    // construction, since the subscription holds a weak pointer to the engine.
    void StartClearChannel();
    // When it returns, no callback of the clear channel runs for this engine.
    void StopClearChannel();
    // A clear heard on the channel: `generation` and the instance that cleared.
    void OnClearMessage(long long generation, const std::string& from);
    // The channel's subscription was re-established (or first confirmed while the generation
    // was not read yet): a clear may have been missed.
    void OnClearResubscribed();
    // Whether the cache was made while its servers did not answer and has not read its
    // generation since: the channel's first confirmation reads it.
    bool GenerationDeferred() const { return !m_reachableAtStart && !m_generationKnown.load(); }
    ReadThroughCounters Counters() const;
    HashPair KeyHash(const std::string& key) const;
    // Under the current generation.
    TString ExternalKey(const HashPair& keyhash) const;
    TString ExternalKey(const HashPair& keyhash, long long generation) const;
    std::vector<std::pair<std::string, AnyValue>> Held() const;
    bool Holds(unsigned int guid) const { return m_memory && m_memory->TryGetEntry(guid); }
    // Waits until no background load runs.
    void WaitForBackground();
    // With the auditor on, and the answer sampled: queues its check, re-loading with the
    // cache's loader, else `keyLoader` (called with the key), else `loader`.
    void MaybeAudit(const std::string& key, const Result& result, const KeyLoader* keyLoader,
                    const Loader* loader);
    // MaybeAudit in two steps for a caller that always has a loader: the draw (and the cap),
    // then the hand-over of a drawn answer with the cache's own loader, else the one given.
    bool SampleForAudit(const Result& result);
    void OfferForAudit(const std::string& key, const Result& result,
                       std::shared_ptr<const KeyLoader> own, const KeyLoader* keyLoader,
                       const Loader* loader);
    std::shared_ptr<const KeyLoader> OwnLoader() const;
    // When it returns, no loader runs on the auditor's thread.
    void StopAuditor();
    const ReadThroughOptions& Options() const { return m_options; }

private:
    // A load in flight; its waiters share what it finds.
    struct Flight {
        // When the load began: waiters count their time-outs from it, not from their own start.
        const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        // The fill was dropped by its verdict: a change arrived while it loaded, so the result
        // may be older than a change a waiter's Get began after.
        bool raced = false;
        Result result;
        std::exception_ptr error;
    };
    // What one look in memory found.
    struct Found {
        AnyValue value;
        unsigned int guid = 0;
        unsigned long long producedAt = 0;
        long long loadStartNs = 0;
        unsigned long long lifetimeTicks = 0;
        long long expiresAtNs = 0;  // steady clock (HeldValue::expiresAtNs)
        unsigned stripe = 0;        // the calling thread's (readthrough::ThisThreadsStripe)
    };
    // What a load found below memory, or loaded, before it is filled.
    struct Loaded {
        AnyValue value;
        ExternalBytesPtr stored;  // the envelope as stored (or to store)
        HashPair hash;
        unsigned long long producedAt = 0;
        int layer = -1;  // -1: the loader
        unsigned int loadMs = 0;
        unsigned int lifetimeSec = 0;  // a lifetime of its own (Set); 0: the cache's
        long long generation = 0;      // of the external keys, as the load started
        // A value read from a layer: when the service last heard its server as it was taken
        // (steady clock; 0 without a service). The value is known fresh only as of then: a
        // change after it may not have been heard of.
        long long heardAtNs = 0;
        std::shared_ptr<const CacheTagSet> tags;  // null: untagged
    };

    // ---- the Get path (ReadThroughCache.cpp) ----
    // What memory holds for `key` (nothing when another key holds its slot); the policy hears
    // of the hit.
    Found LookInMemory(const std::string& key);
    // What Get answers before any load: a memory hit, a value held through a silence, or a
    // throttled fail-safe answer; nothing when the key is to be loaded.
    std::optional<Result> AnswerWithoutLoad(const std::string& key, const Loader& loader);
    // The flight of `key`, made when there is none (then `leader`).
    std::shared_ptr<Flight> JoinFlight(const std::string& key, bool& leader);
    Result Wait(const std::string& key, Flight& flight, const Loader& loader);
    // `layersLooked`: the caller found nothing in the layers a moment ago.
    Result Lead(const std::string& key, const std::shared_ptr<Flight>& flight, const Loader& loader,
                bool layersLooked = false);
    // Runs the flight's load and answers its waiters; returns the result or raises the error.
    Result RunFlight(const std::string& key, Flight& flight, const Loader& loader,
                     bool layersLooked = false);
    // Lets the flight's key go and answers its waiters.
    void Finish(const std::string& key, Flight& flight, const Result* result,
                std::exception_ptr error, bool raced = false);
    // The fail-safe value of `key`, when there is one to serve.
    std::optional<Result> FailSafeAnswer(const std::string& key) const;
    Result Stale(const Result& failSafe, std::atomic<long long>& cause);
    // Whether the coherence service has not heard from its server lately (RedisPubsub::Hears).
    bool Deaf() const;
    // Starts `work` on a thread of the cache's; false when too many run already.
    bool StartBackground(std::function<void()> work, unsigned int waitMs = 0);
    // Whether a held value is old enough for an eager refresh.
    bool RefreshDue(const Found& found) const;
    void MaybeRefreshEarly(const std::string& key, const Found& found, const Loader& loader);
    static bool Expired(const Found& found);
    // The lifetime of a value stored with `lifetimeSec` (0: the cache's), in DateTime ticks.
    unsigned long long LifetimeTicks(unsigned int lifetimeSec) const;
    void NoteUsed(unsigned int guid) const;

    // ---- loads, fills, stores (ReadThroughLayers.cpp) ----
    // The lower layers, then (under the lease, when there are leases) the loader, then the fill;
    // `loaderOnly` skips the layers and the lease (a refresh before the lifetime ends).
    // `layersLooked`: the caller found nothing in the layers a moment ago (the lease is still
    // taken as usual).
    Result LoadAndFill(const std::string& key, const Loader& loader, bool loaderOnly,
                       bool layersLooked = false);
    // The layers alone, on the calling thread, and the fill of what they hold; nothing when
    // they hold nothing (or the service cannot hear).
    std::optional<Result> TryLayersHere(const std::string& key);
    // TryLayersHere of several keys, one batch a layer (ExternalCache::LoadManyOnThisThread);
    // one answer a key, in order.
    std::vector<std::optional<Result>> TryLayersHereMany(const std::vector<std::string>& keys);
    // Fills memory with what was loaded or found (unless an announcement beat it), keeps the
    // fail-safe value, stores into the layers above where it was found and lets the lease go.
    Result FillAndStore(const std::string& key, const HashPair& keyhash, const Loaded& loaded,
                        long long startNs, const std::string& token);
    bool LoadFromLayers(const std::string& key, const HashPair& keyhash, Loaded& loaded,
                        std::size_t fromLayer = 0);
    ExternalBytesPtr ReadLayer(std::size_t index, const TString& externalKey);
    // ReadLayer of several keys: one batch on an ExternalCache read inline, else one a key.
    std::vector<ExternalBytesPtr> ReadLayerMany(std::size_t index,
                                                const std::vector<TString>& externalKeys);
    // Whether `bytes`, read from layer `index` for `key`, may be served; when so, fills `loaded`
    // (counted as a hit of the layer; a refusal as rejected).
    bool AcceptFromLayer(std::size_t index, const std::string& key, const HashPair& keyhash,
                         ExternalBytesPtr bytes, Loaded& loaded);
    void RunLoader(const std::string& key, const Loader& loader, Loaded& loaded);
    // Waits, under another process's lease, for the value in the shared layer; true when it
    // came (in `loaded`), false when this process is to load (holding the lease when `token`
    // is not empty).
    bool WaitForLease(const std::string& key, const HashPair& keyhash, Loaded& loaded,
                      std::string& token);
    std::string LeaseName(const HashPair& keyhash) const;
    void Seal(const std::string& key, const AnyValue& value, Loaded& loaded) const;
    // Files the value in memory (not answered before Show, with `pending`) and announces it.
    unsigned int Fill(const std::string& key, const HashPair& keyhash, const Loaded& loaded,
                      long long startNs, bool pending = false);
    // While the service hears nothing: whether a held value loaded from `loadStartNs` on may
    // answer (loaded during this silence, at most the silence bound ago).
    bool HeldThroughSilence(long long loadStartNs) const;
    // While the service hears nothing: the held value of `key` when it may answer (see
    // HeldThroughSilence), counted and noted as used.
    std::optional<Result> AnswerThroughSilence(const std::string& key);
    // Tells the service of a fill (entry `guid` of memory, 0: none).
    void Announce(const HashPair& keyhash, const Loaded& loaded, unsigned int guid,
                  long long startNs);
    void DropFilled(const std::string& key, unsigned int guid);
    // Stores into the layers above `upTo`; waits for the shared layer's store when `waitShared`.
    bool StoreBelow(const TString& externalKey, const Loaded& loaded, std::size_t upTo,
                    bool waitShared) const;
    void ReportRemoved(const CacheHelpers::EntrySet& entries);
    // Evicts when the memory layer holds more than it may.
    void Evict();
    // Files the entry just filled in slot `policyKey` (`weight`) with the frequency policy and
    // deletes what it evicts; false when that was the key itself (not admitted).
    bool AdmitToPolicy(std::uint64_t policyKey, std::uint64_t weight);
    // The weight of a value held in memory: its stored bytes and the entry's own (with a byte
    // budget), else 1.
    std::uint64_t WeightOf(const Loaded& loaded) const;
    bool MayFill(const HashPair& keyhash, const HashPair& hash, long long startNs) const;
    // Whether no tag of `tags` was invalidated after its load began (counted when one was).
    bool TagsAllow(const std::shared_ptr<const CacheTagSet>& tags) const;
    // A tag invalidation heard (see TagInvalidations::Listener): drops the entries it covers.
    void OnTagInvalidated(const std::string& scope, const std::string& tag, TagStamp stamp);
    // The tags a load collected, checked against the options; null when none (or tags are off).
    std::shared_ptr<const CacheTagSet> TagsOf(std::vector<std::string> names, TagStamp under,
                                              const std::string& key) const;
    bool MayServe(const HashPair& keyhash, const HashPair& hash, unsigned long long producedAt,
                  unsigned int lifetimeSec) const;
    void NoteSignatureRejected(std::size_t layer, EnvelopeVerdict verdict);
    // Raises (or, with CacheSynchronizationStartDegraded or startDegraded, logs at Error and
    // returns false) when the service or a Redis layer cannot reach its server.
    bool CheckReachable() const;
    std::size_t SharedLayer() const;
    // Moves to `generation`, lets no load in flight fill, and empties memory and the fail-safe
    // copies.
    void ApplyClear(long long generation);
    // The generation the shared layer holds (0 when none, or without layers); nothing when it
    // could not be read.
    std::optional<long long> ReadGeneration() const;
    // Counts the next generation in the shared layer; nothing when it could not.
    std::optional<long long> NextGeneration() const;
    TString GenerationKey() const;
    std::string ClearChannelName() const;

    const ReadThroughOptions m_options;
    const ReadThroughCore::Encode m_encode;
    const ReadThroughCore::Decode m_decode;
    const std::shared_ptr<RedisPubsub> m_service;
    // Tells this instance's clears apart from other instances' on the clear channel.
    const std::string m_instanceToken;
    // The generation of the external keys, and when the last clear was applied (FillClockNs):
    // no load that started before it fills.
    std::atomic<long long> m_generation{0};
    std::atomic<long long> m_clearedAtNs{0};
    std::atomic<bool> m_clearSubscribed{false};
    std::atomic<bool> m_generationKnown{false};
    // Whether the servers answered when the cache was made; a degraded start neither waits for
    // the clear channel's confirmation nor reads the generation (both are done, and a clear made
    // meanwhile assumed, once the confirmation comes).
    bool m_reachableAtStart = true;
    std::shared_ptr<readthrough::MemoryLayer> m_memory;
    // With the built-in policy (an MRU policy of a thirty-second under memoryEntries), the layer
    // is purged only once it holds more than this; 0: a host's policy, asked after every fill.
    unsigned long long m_evictOver = 0;
    // With the built-in frequency policy (ReadThroughOptions::frequencyPolicy): who stays, and
    // the largest weight one entry may have to be admitted (memoryBytes / 8 with a byte budget).
    std::unique_ptr<readthrough::FrequencyState> m_frequency;
    std::uint64_t m_largestEntry = 0;
    // Memory hits, counted apart from m_counts: every hit adds to it, from every thread.
    readthrough::StripedCount m_memoryHits;
    std::vector<ExternalCache<TString, ExternalBytes>*> m_direct;  // per layer, or null
    long long m_lifetimeSec = 0;
    unsigned long long m_lifetimeTicks = 0;
    std::unique_ptr<FailSafeStore> m_failSafe;  // null when fail-safe is off
    // The tag invalidations heard (the host's, or the cache's own) and the memory entries by tag.
    std::shared_ptr<TagInvalidations> m_tags;
    std::shared_ptr<readthrough::TagIndex> m_tagIndex;  // with a memory layer
    std::uint64_t m_tagListener = 0;
    std::uint64_t m_pruneListener = 0;  // on the service: lets the index forget pruned entries

    mutable TMutex m_loaderMutex;
    std::shared_ptr<const KeyLoader> m_loader VEL_GUARDED_BY(m_loaderMutex);

    TMutex m_flightsMutex;
    std::unordered_map<std::string, std::shared_ptr<Flight>> m_flights
        VEL_GUARDED_BY(m_flightsMutex);

    // Background loads (soft and hard time-outs, eager refresh).
    // The count lives apart from the engine: a background thread lets go of the engine before
    // it counts itself done, so the engine is never destroyed on that thread (whatever it
    // holds, the coherence service included, goes on the thread that destroys the cache).
    struct Background {
        TMutex mutex;
        std::condition_variable done;
        int running VEL_GUARDED_BY(mutex) = 0;
    };
    const std::shared_ptr<Background> m_background = std::make_shared<Background>();
    TMutex m_backgroundMutex;
    std::unordered_set<std::string> m_refreshing VEL_GUARDED_BY(m_backgroundMutex);

    // One atomic per count of VELCACHE_READ_THROUGH_COUNTS, under the public name (invalidations
    // are the memory layer's own: m_memory->m_invalidated).
    struct Atomics {
#define VELCACHE_READ_THROUGH_ATOMIC(member, tag, help) std::atomic<long long> member{0};
        VELCACHE_READ_THROUGH_COUNTS(VELCACHE_READ_THROUGH_ATOMIC)
#undef VELCACHE_READ_THROUGH_ATOMIC
        std::atomic<long long> lastSignatureLogNs{0}, signatureRejectedLogged{0};
        std::unique_ptr<std::atomic<long long>[]> layerHits;
    } mutable m_counts;

    // With ReadThroughOptions::audit; last, so that it stops before anything it uses goes.
    std::unique_ptr<readthrough::Auditor> m_auditor;
};

}  // namespace velmora::caching
