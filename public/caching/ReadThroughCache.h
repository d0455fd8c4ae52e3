// ReadThroughCache<V>: get a value, or load it once; memory, then the external layers, then the
// loader, with the coherence protocol's races done for the host (docs/read-through.md).
//
// Ownership: an instance owns its memory layer and shares the service and the layers.
// Threads: every member is safe for concurrent use; the loader and the codec run with no lock
// of the cache held, on the caller's thread unless a time-out or eager refresh hands a load to
// a thread of the cache's (or the auditor re-loads a sampled answer on its own: see
// ReadThroughOptions::audit; the destructor stops it first, waiting for a re-load under way).
// Locks: the service's, as RedisPubsub states, by the fills and removals it is told of; a
// memory hit takes only a reader's share of one part of the key table (a count of its thread's
// own), a fill the part's and the layer's locks, briefly.
// What the host guarantees: the codec is deterministic (equal values, equal bytes), and a
// loader reads data at least as new as every change announced before the load started (not a
// replica that lags its primary).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "VelcacheExport.h"
#include "caching/CacheTags.h"
#include "caching/ExternalCacheFactory.h"
#include "caching/LoadLeases.h"
#include "caching/ReadThroughCodecs.h"
#include "caching/RedisPubsub.h"
#include "utility/CacheHelpers.h"
#include "velsys/Exceptions.h"

class SynchronizedIndexedCache;

namespace velmora::caching {

/// What one entry of the memory layer costs beyond its stored bytes, charged to a memoryBytes
/// budget: the held value's object, its entry and id, its key-table bucket, the frequency
/// policy's node and its shares of the sketch and of the keys refused lately. Set from the
/// allocator's count over full layers of 22,000 to 67,000 entries (410 to 447 bytes): the
/// sketch and the tables grow in doubling steps, and together they reach about 500 at worst.
inline constexpr std::uint64_t kHeldEntryBytes = 512;

/// What a read-through cache is made of and how it behaves; every default is the safe choice. See
/// docs/read-through.md.
struct ReadThroughOptions {
    /// Namespaces the instance's keys (see above); not empty.
    std::string name;
    /// Entries kept in memory; 0: no memory layer (unless memoryBytes is set). Which stay is
    /// decided by FrequencyPolicy (caching/FrequencyPolicy.h; see frequencyPolicy), one entry
    /// evicted at a time as fills need room.
    int memoryEntries = 1000;
    /// A budget in bytes for the memory layer instead of a count (0: none). Each entry is
    /// charged its stored bytes (the encoded value in its envelope) and kHeldEntryBytes of its
    /// own, so that the heap the layer holds stays within the budget; one charged more than an
    /// eighth of the budget is not kept in memory (counted in tooLargeForMemory; it still fills
    /// the layers below, and a derived result built on it is not cached). memoryEntries then
    /// only says how many entries to expect (it sizes the policy's frequency sketch). Needs
    /// frequencyPolicy.
    std::uint64_t memoryBytes = 0;
    /// Runs FrequencyPolicy in the memory layer (the default). Off: the least recently used
    /// entries are evicted once a fill takes the layer over memoryEntries, down to a
    /// thirty-second under it at once (an MRU policy over a snapshot of the layer).
    bool frequencyPolicy = true;
    /// Replaces the built-in policies when set (memoryBytes then has no effect).
    std::shared_ptr<CacheHelpers::IPolicy> memoryPolicy;
    /// The external layers in lookup order (fast and local first). Null entries are skipped.
    std::vector<ExternalCachePtr> layers;
    /// Reads the layers that are ExternalCache on the caller's thread.
    bool inlineExternalLoads = true;
    /// The longest wait for a layer read through its future, ms.
    unsigned int externalWaitMs = 200;
    /// The longest a Get waits for another thread's load of its key, ms.
    unsigned int loadWaitMs = 30000;
    /// Lifetime of stored values in seconds when there is no service (with one, the service's
    /// horizon, which it must not exceed, applies); also the time-to-live asked of the layers.
    long long valueLifetimeSec = 600;
    /// Drops fills that raced an announced change (see above), and announces such a change
    /// again when this cache's fill may have reached the server after it
    /// (RedisPubsub::FillMode::loadStartNs). Off only to measure it.
    bool dropRacedFills = true;
    /// Drops a memory entry as soon as an announcement of its key with another data hash
    /// arrives, whatever the timestamps (RedisPubsub::FillMode::dropOnArrival). Off: the dirty
    /// rule with its margin (CacheSynchronizationMinimumDeltaSeconds) decides, so that a change
    /// announced within the margin of a load may be missed for good. Off only to measure it.
    bool dropHeldOnArrival = true;
    /// While the service hears nothing (RedisPubsub::Hears), a value loaded during that silence
    /// is answered from memory for at most CacheSynchronizationMaxDeafMs after its load started
    /// (counted in deafHolds), so that an outage costs about one load per key per that bound
    /// instead of one per Get. Nothing held from before the silence is served meanwhile, and the
    /// lower layers are neither read nor written. Off: every Get during a silence loads.
    bool holdDeafLoads = true;
    /// Announces fills through RedisPubsub::OnFilled: a fill of the content last announced for
    /// its key is not published again (coherence traffic follows changes, not fills). Off:
    /// every fill is published, as OnAdded does by default.
    bool skipKnownFills = true;
    /// Keys of HMAC-SHA256 tags on stored values (none: values are not signed). The first signs
    /// what this instance stores; a value read from a layer is served only with a tag that one
    /// of them made over the instance's name, the key, the envelope and the value (so keys can
    /// be rotated: add the new one first, drop the old one once its values have aged out). A
    /// value without a tag or with a wrong one is a miss, counted in signatureRejected and
    /// logged at most once a minute per instance. The keys are never stored anywhere.
    std::vector<std::string> signingKeys;

    /// ---- one load per key across processes ----
    /// When set, a miss everywhere takes the lease of its key before loading (see
    /// caching/LoadLeases.h); the others poll the shared layer with back-off (at most
    /// loadWaitMs) until the value is there or the lease lapses. The holder stores into the
    /// shared layer, waits for that store, then releases.
    std::shared_ptr<ILoadLeases> leases;
    /// The shared layer: an index into layers; -1: the last one.
    int leaseLayer = -1;
    /// How long a lease lasts when its holder dies, ms.
    unsigned int leaseMs = 5000;

    /// ---- answers that survive a failing loader ----
    /// Keeps the last good value of each key (failSafeEntries at most, failSafeMaxAgeSec old at
    /// most) and answers with it, marked stale, when the loader raises or passes its hard
    /// time-out; the failing loader is then not run again for that key for failSafeThrottleMs.
    /// A value whose key was announced as changed since (or a tag of which was invalidated
    /// since, see InvalidateTag) is not served so unless failSafeAfterChange: fail-safe covers
    /// expiry and failing loads, not invalidation. Nor is any while the service hears nothing
    /// (RedisPubsub::Hears): such a change may not arrive.
    bool failSafe = false;
    /// The oldest a fail-safe value may be, seconds.
    long long failSafeMaxAgeSec = 300;
    /// How long a failed loader is not run again for its key, ms.
    unsigned int failSafeThrottleMs = 1000;
    /// Serves a fail-safe value also after an announced change of its key.
    bool failSafeAfterChange = false;
    /// The most keys with a fail-safe value.
    std::size_t failSafeEntries = 10000;
    /// With a fail-safe value at hand: after softTimeoutMs the caller gets it at once and the
    /// load goes on in the background and fills the layers; after hardTimeoutMs likewise
    /// (without a soft one). 0: off. The loader then runs on a thread of the cache's; the
    /// external layers are still read on the caller's thread first, bounded by their own
    /// time-outs (a layer hit costs less than the hand-off).
    unsigned int softTimeoutMs = 0;
    /// See softTimeoutMs.
    unsigned int hardTimeoutMs = 0;
    /// Loads of this cache running in the background at once (after a soft or hard time-out, or
    /// an eager refresh). A load that finds them all busy for its whole time-out is not run: the
    /// caller and its waiters get the fail-safe value, and the next Get tries again.
    unsigned int maxBackgroundLoads = 16;
    /// An entry read after this fraction of its lifetime is loaded again once in the background
    /// (0: never), so hot keys never wait for a load.
    double eagerRefreshFraction = 0;

    /// ---- clearing the whole cache (Clear) ----
    /// The subscription manager that tells the instances of this name in other processes of a
    /// Clear, on the channel "velcache.clear.<name>" (outside every coherence namespace: the
    /// constructor raises when a namespace subscribed through it is a prefix of that channel).
    /// With it, the constructor also reads the generation from the shared layer (at most
    /// externalWaitMs). Borrowed: it must outlive the cache. Null: a Clear empties this instance
    /// and moves it (alone) to a new generation; other instances do not hear of it.
    RedisSubscriptionManager* clearChannel = nullptr;
    /// How long the constructor waits for the server to confirm that subscription, ms.
    unsigned int clearSubscribeWaitMs = 2000;
    /// The channel of a Clear is this followed by the name; a host of a namespace of its own
    /// derives it from that namespace.
    std::string clearChannelPrefix = "velcache.clear.";

    /// ---- tags (caching/CacheTags.h) ----
    /// Where tag invalidations are remembered and heard: a host's, shared by the caches of its
    /// coherence namespace. Null: the cache keeps one of its own, in this process only.
    std::shared_ptr<TagInvalidations> tags;
    /// Keeps the tags loaders give (TagLoad) and Set takes, and drops values by tag. Off: a
    /// loader's tags are let go, and Set with tags and InvalidateTag raise.
    bool useTags = true;
    /// The most tags one value may carry; a load that gives more raises VelmoraException naming
    /// the cache, the key and this option (and Set with more refuses so).
    std::size_t maxTagsPerEntry = 64;

    /// ---- made by a host (caching/Host.h) ----
    /// Set by the host that made the cache: the cache keeps the host's parts alive while it
    /// lives, and once this holds true (the host stopped) every call of the cache raises
    /// VelmoraException naming the cache. Null: no host.
    std::shared_ptr<const std::atomic<bool>> hostStopped;
    /// The constructor logs at Error, rather than raising, when the service or the Redis layer
    /// cannot be reached (as CacheSynchronizationStartDegraded does for every cache).
    bool startDegraded = false;

    /// ---- checking answers against the source (the auditor) ----
    /// Checks a sample of the answers against the source, on a thread of the cache's (see
    /// docs/consistency.md): for a sampled answer it runs the loader again (the cache's own, set
    /// by SetLoader, else the one the sampled Get was given), bypassing every layer, and
    /// compares data hashes. Equal: consistent. Different: judged by when this process heard of
    /// the re-loaded content (an announcement of it, or an invalidation of the key): more than
    /// auditWindowMs before the answer is inconsistent; after it, or within the window before
    /// it, is a race (consistent); never, within auditWindowMs after the re-load, is a change
    /// nobody announced (inconsistent), unless newer content of the key was announced instead
    /// (a publisher that could not reach the server sends only the newest), whose arrival is
    /// then judged as that of the change. A sample whose span overlaps a gap, a silence of the
    /// service or the start or horizon of its table of arrivals is undecided. The caller pays a
    /// sample decision and, when sampled, a bounded enqueue (a full queue drops the sample,
    /// counted). The re-loads are extra load on the source: see auditMaxReloadsPerSec. With the
    /// auditor on, a loader given to Get may run after Get returned (as with time-outs).
    bool audit = false;
    /// The fraction of answers checked, 0 to 1 (0: none, nothing is re-loaded).
    double auditSampleRate = 0.01;
    /// The most re-loads the auditor makes in a second; samples beyond it are dropped (counted).
    unsigned int auditMaxReloadsPerSec = 20;
    /// The freshness window, ms: how long after a change was heard of an older answer is still a
    /// race. It must cover the source's own lag (a replica the loader reads behind its primary)
    /// as well as announcement delivery; a sample that waited longer than this (and 100 ms) for
    /// its re-load is dropped (counted), since the source may have changed since the answer.
    unsigned int auditWindowMs = 1000;
    /// The most samples waiting to be checked (each holds its key, value and loader).
    unsigned int auditQueue = 64;
};

/// What the auditor of a read-through cache found (ReadThroughOptions::audit). A sample is
/// dropped, undecided, or decided (consistent or inconsistent).
struct ReadThroughAuditFigures {
    long long samples = 0;       ///< answers sampled
    long long dropped = 0;       ///< samples not checked: queue full, over the cap, waited too long
    long long reloads = 0;       ///< loader runs of the auditor
    long long undecided = 0;     ///< checked but not judged: a gap, a silence, a failing loader
    long long consistent = 0;    ///< equal to the source, or a race within the window
    long long inconsistent = 0;  ///< older than a change heard of more than the window before
    long long unannounced = 0;   ///< of inconsistent: a change no announcement told of
    /// How long after the change was heard of inconsistent answers were given, ms, as the upper
    /// bound of a fixed bucket (1, 2, 5, 10, 20, 50 ms ... 60 s); -1 when none.
    long long ageP50Ms = -1;
    long long ageP99Ms = -1;  ///< see ageP50Ms
    long long ageMaxMs = -1;  ///< the largest, exact
    /// -log10 of the inconsistent share of the decided samples; with none inconsistent,
    /// log10 of the decided samples and ninesAtLeast (0 with none decided).
    double nines = 0;
    bool ninesAtLeast = false;  ///< nines is a lower bound: nothing inconsistent was found
};

/// FailSafe: the last good value, kept past its lifetime, answering for a failing or slow load.
enum class ReadThroughSource { Memory, External, Loader, FailSafe };

/// The counts of a read-through cache, one line each: X(member, tag, help). Each only grows while
/// the cache lives. ReadThroughCounters holds them as members of its own; GetCounters reports
/// them under their tags in the metrics scope "ReadThroughCache::Counters", described as
/// counters with their help (an OpenMetrics sink renders velcache_readthroughcache_counters_<tag
/// with '_'>_total). A new count is one line here, and its counting where it happens.
#define VELCACHE_READ_THROUGH_COUNTS(X)                                                          \
    X(memoryHits, "memory-hits", "Answers from memory.")                                         \
    X(loads, "loads", "Loader runs.")                                                            \
    X(loadFailures, "load-failures", "Loader runs that raised.")                                 \
    X(coalescedWaits, "coalesced-waits", "Gets that shared another thread's load.")              \
    X(waitTimeouts, "wait-timeouts", "Waits for another thread's load that gave up and loaded.") \
    X(racedFillsDropped, "raced-fills-dropped", "Fills dropped by the race verdict.")            \
    X(lowerRejected, "lower-layer-rejected", "Lower-layer values not served (old, unreadable).") \
    X(signatureRejected, "signature-rejected",                                                   \
      "Of the lower-layer values not served, those without a tag one of the keys made.")         \
    X(externalFailures, "external-failures",                                                     \
      "Layer reads that failed, were refused or timed out.")                                     \
    X(invalidations, "invalidations", "Memory entries the coherence service dropped.")           \
    X(evictions, "evictions", "Memory entries evicted by the policy.")                           \
    X(expired, "expired", "Memory entries found past their lifetime.")                           \
    X(failSafeAnswers, "fail-safe-answers", "Answers with a stale value instead of a failure.")  \
    X(softTimeouts, "soft-timeouts", "Fail-safe answers: loads that passed the soft time-out.")  \
    X(hardTimeouts, "hard-timeouts", "Fail-safe answers: loads that passed the hard time-out.")  \
    X(throttled, "throttled", "Fail-safe answers: loads not run after a recent failure.")        \
    X(backgroundFull, "background-full",                                                         \
      "Fail-safe answers: loads not run, every background slot busy.")                           \
    X(deafLoads, "deaf-loads", "Gets that passed what is held: the service heard nothing.")      \
    X(deafHolds, "deaf-holds", "Answers, meanwhile, from a value loaded in the silence.")        \
    X(eagerRefreshes, "eager-refreshes", "Background loads of entries close to their end.")      \
    X(leasesTaken, "leases-taken", "Loads under a lease.")                                       \
    X(leaseWaits, "lease-waits", "Misses answered by another process's load.")                   \
    X(leaseUnavailable, "lease-unavailable", "Leases that could not be asked for.")              \
    X(tryMisses, "try-misses", "TryGets that found nothing.")                                    \
    X(tooLargeForMemory, "too-large-for-memory",                                                 \
      "Values over an eighth of memoryBytes, not held.")                                         \
    X(clears, "clears",                                                                          \
      "Clears applied here: this process's, heard, or assumed after a re-subscription.")         \
    X(droppedByTag, "dropped-by-tag", "Memory entries dropped by a tag invalidation.")           \
    X(tagRefused, "tag-refused",                                                                 \
      "Fills and lower-layer values refused: a tag of theirs was invalidated after their load.")

/// The figures of one read-through cache since it was made (GetCounters): one member per line
/// of VELCACHE_READ_THROUGH_COUNTS (see there what each counts), then the hits per lower layer
/// and the auditor's figures.
struct ReadThroughCounters {
#define VELCACHE_READ_THROUGH_MEMBER(member, tag, help) long long member = 0;
    VELCACHE_READ_THROUGH_COUNTS(VELCACHE_READ_THROUGH_MEMBER)
#undef VELCACHE_READ_THROUGH_MEMBER
    std::vector<long long> layerHits;  ///< per layer of ReadThroughOptions::layers
    /// What the auditor found; all 0 while it is off.
    ReadThroughAuditFigures audit;
};

/// What the calling thread's read-through Gets used while a recorder is installed: the memory
/// entries returned, and whether a value came back uncached. For derived results.
struct ReadThroughUsage {
    /// One memory entry a Get returned.
    struct Part {
        /// The memory layer that holds it.
        std::weak_ptr<SynchronizedIndexedCache> memory;
        /// The entry's id.
        unsigned int guid = 0;
    };
    /// The entries returned, in order.
    std::vector<Part> parts;
    /// Whether a value came back uncached (a dropped fill, a fail-safe answer).
    bool uncachedPart = false;
};
/// Installs `usage` as the calling thread's recorder (null removes it); returns the one before.
VELCACHE_EXPORT ReadThroughUsage* SetReadThroughUsageRecorder(ReadThroughUsage* usage);

/// The untyped engine of ReadThroughCache<V>; values are held as shared_ptr<const void>.
class VELCACHE_EXPORT ReadThroughCore {
public:
    /// A value of any type.
    using AnyValue = std::shared_ptr<const void>;
    /// The codec's encode, untyped.
    using Encode = std::function<ExternalBytes(const void* value)>;
    /// The codec's decode, untyped; null for bytes it cannot read.
    using Decode = std::function<AnyValue(const unsigned char* data, std::size_t size)>;
    /// A loader of one key.
    using Loader = std::function<AnyValue()>;
    /// A loader that takes the key.
    using KeyLoader = std::function<AnyValue(const std::string& key)>;

    /// What a Get answers (see ReadThroughCache<V>::Result).
    struct Result {
        /// The value; null only for a TryGet that found nothing.
        AnyValue value;
        /// Where the value came from.
        ReadThroughSource source = ReadThroughSource::Memory;
        int layer = -1;          ///< the external layer that answered; -1 otherwise
        unsigned int guid = 0;   ///< the memory entry that holds the value; 0 when none does
        bool coalesced = false;  ///< another thread's load answered
        bool stale = false;      ///< a fail-safe answer: the last good value, not a fresh one
        /// The value's tags when it was loaded or read below memory (null otherwise).
        std::shared_ptr<const CacheTagSet> tags;
    };

    /// `service` may be null (no coherence: one process). Raises VelmoraException when the name
    /// is empty, and when the service (never heard from yet) or a Redis layer cannot reach its
    /// server: `ReadThroughCache "NAME": ... cannot reach Redis at HOST:PORT: CAUSE`, within
    /// the connect time-out plus one command time-out for each; with the option
    /// CacheSynchronizationStartDegraded the same words are logged at Error instead.
    ReadThroughCore(ReadThroughOptions options, Encode encode, Decode decode,
                    std::shared_ptr<RedisPubsub> service);
    /// Waits for the loads running in the background, then tells the service the memory cache
    /// is going away. REQUIRES: no Get is running.
    ~ReadThroughCore();
    ReadThroughCore(const ReadThroughCore&) = delete;
    ReadThroughCore& operator=(const ReadThroughCore&) = delete;

    /// See the header. Raises what the loader raises (to every waiter of its flight).
    Result Get(const std::string& key, const Loader& loader);
    /// Get with the loader of SetLoader; raises VelmoraException naming the cache when none is
    /// set (whatever memory holds).
    Result Get(const std::string& key);
    /// The answer Get would give from memory without its loader: a held value that is neither
    /// expired nor due for an eager refresh, while the service hears. Counted as Get counts it;
    /// empty otherwise (then Get decides). Allocates nothing unless a query-job scope records
    /// the entry.
    std::optional<Result> GetFromMemory(const std::string& key);
    /// GetFromMemory lending the value instead of sharing it: calls visit(value, context) with
    /// the held value under the memory layer's reader lock and returns true, or returns false
    /// (then Get decides). Writes no reference count; with the auditor on, always false.
    bool VisitFromMemory(const std::string& key, void (*visit)(const void* value, void* context),
                         void* context);
    /// Whether the auditor (ReadThroughOptions::audit) takes `result` as a sample: a draw at its
    /// rate, within its cap; false when it is off. A drawn answer goes to Audit.
    bool SampleForAudit(const Result& result);
    /// Hands an answer SampleForAudit drew to the auditor, with the loader that loads its key.
    void Audit(const std::string& key, const Result& result, const Loader& loader);
    /// See ReadThroughCache<V>::GetMany; `loader` is called as loader(key) for each key it loads.
    std::vector<Result> GetMany(const std::vector<std::string>& keys, KeyLoader loader);
    /// GetMany with the loader of SetLoader; raises as Get(key) does when none is set.
    std::vector<Result> GetMany(const std::vector<std::string>& keys);
    /// The loader Get(key) runs; replaces the one before (a Get running keeps the one it took).
    void SetLoader(KeyLoader loader);
    /// Memory, then the layers, never the loader; see ReadThroughCache<V>::TryGet.
    Result TryGet(const std::string& key);
    /// For the process that changed the data: holds `value` as the key's newest, announces it,
    /// and writes it through to every layer. No verdict: the caller vouches for it.
    unsigned int Set(const std::string& key, const AnyValue& value);
    /// Set with a lifetime of the value's own; see ReadThroughCache<V>::Set.
    unsigned int Set(const std::string& key, const AnyValue& value, std::chrono::seconds lifetime);
    /// Set with a lifetime (0: the cache's) and tags; see ReadThroughCache<V>::Set.
    unsigned int Set(const std::string& key, const AnyValue& value, std::chrono::seconds lifetime,
                     const std::vector<std::string>& tags);
    /// See ReadThroughCache<V>::InvalidateTag.
    void InvalidateTag(const std::string& tag);
    /// For the process that changed the data: drops the key from memory and announces that its
    /// content changed (a data hash no value has), so that every process drops its copies and
    /// no older lower-layer value is served.
    void Invalidate(const std::string& key);
    /// See ReadThroughCache<V>::Clear.
    void Clear();

    /// The figures so far; also sent to the metrics sink as one scope "ReadThroughCache::Counters"
    /// with a tag per figure and "name".
    ReadThroughCounters GetCounters() const;
    /// The coherence key hash of `key`.
    HashPair KeyHash(const std::string& key) const;
    /// The key under which `key`'s value is stored in the layers.
    TString ExternalKey(const std::string& key) const;
    /// Every (key, value) held in memory now.
    std::vector<std::pair<std::string, AnyValue>> HeldValues() const;
    /// Whether memory still holds entry `guid`.
    bool Holds(unsigned int guid) const;
    /// The options it was made with.
    const ReadThroughOptions& Options() const;

    class Impl;

private:
    std::shared_ptr<Impl> m_impl;
};

/// The typed face: values of type V, held as std::shared_ptr<const V>.
template <class V>
class ReadThroughCache {
public:
    /// How values are held and answered.
    using ValuePtr = std::shared_ptr<const V>;
    /// Turns values into bytes and back (see the file's opening comment).
    struct Codec {
        /// Deterministic: equal values, equal bytes.
        std::function<ExternalBytes(const V&)> encode;
        /// Null for bytes it cannot read.
        std::function<ValuePtr(const unsigned char* data, std::size_t size)> decode;
    };
    /// What a Get answers.
    struct Result {
        /// The value; null only for a TryGet that found nothing.
        ValuePtr value;
        /// Where the value came from.
        ReadThroughSource source = ReadThroughSource::Memory;
        /// The external layer that answered; -1 otherwise.
        int layer = -1;
        /// The memory entry that holds the value; 0 when none does.
        unsigned int guid = 0;
        /// Another thread's load answered.
        bool coalesced = false;
        /// A fail-safe answer: the last good value, not a fresh one.
        bool stale = false;
        /// The value's tags when it was loaded or read below memory (null otherwise).
        std::shared_ptr<const CacheTagSet> tags;
    };

    /// Whether `Load` is a loader: callable (as const) as loader() or loader(const std::string&
    /// key), returning a V (or something a V is made from) or a pointer convertible to ValuePtr.
    template <class Load>
    struct LoaderShape {
        /// Callable as loader(key).
        static constexpr bool kTakesKey = std::is_invocable_v<const Load&, const std::string&>;
        /// Callable as loader().
        static constexpr bool kTakesNothing = std::is_invocable_v<const Load&>;
        /// What the loader returns.
        using Returned = typename std::conditional_t<
            kTakesKey, std::invoke_result<const Load&, const std::string&>,
            std::conditional_t<kTakesNothing, std::invoke_result<const Load&>,
                               std::type_identity<void>>>::type;
        /// Whether that is a V, makes a V, or converts to ValuePtr.
        static constexpr bool kReturnsValue =
            std::is_convertible_v<Returned, ValuePtr> || std::is_constructible_v<V, Returned>;
        /// Whether Get takes it.
        static constexpr bool kFits = (kTakesKey || kTakesNothing) && kReturnsValue;
    };

    /// A cache with `codec`, coherent through `service` (null: one process). Raises
    /// VelmoraException naming the cache when the name is empty or Redis cannot be reached (see
    /// ReadThroughCore).
    ReadThroughCache(ReadThroughOptions options, Codec codec, std::shared_ptr<RedisPubsub> service)
        : m_core(std::move(options), Erase(std::move(codec.encode)), Erase(std::move(codec.decode)),
                 std::move(service)) {}
    /// With the codec of V (caching/ReadThroughCodecs.h): strings, byte vectors and trivially
    /// copyable types without padding. Raises as the constructor above.
    explicit ReadThroughCache(ReadThroughOptions options,
                              std::shared_ptr<RedisPubsub> service = nullptr)
        : ReadThroughCache(std::move(options), DefaultCodec(), std::move(service)) {}
    /// With a codec given as two callables: encode(const V&) -> bytes, decode(const unsigned
    /// char*, std::size_t) -> a pointer convertible to ValuePtr (null for bytes it cannot read).
    template <class Encode, class Decode>
    requires(!std::is_same_v<std::decay_t<Encode>, Codec>)
        ReadThroughCache(ReadThroughOptions options, Encode encode, Decode decode,
                         std::shared_ptr<RedisPubsub> service = nullptr)
        : ReadThroughCache(std::move(options), MakeCodec(std::move(encode), std::move(decode)),
                           std::move(service)) {}

    /// `loader` is called as loader(key) when it takes the key, else as loader(); it returns a V
    /// or a pointer convertible to ValuePtr (not null). It is copied: with time-outs or eager
    /// refresh it may run on a thread of the cache's after Get returned.
    template <class Load>
    Result Get(const std::string& key, Load&& loader) {
        static_assert(
            LoaderShape<std::decay_t<Load>>::kFits,
            "ReadThroughCache<V>::Get: the loader must be callable as loader() or "
            "loader(const std::string& key) (on a const object) and return a V or something "
            "convertible to std::shared_ptr<const V>");
        if constexpr (LoaderShape<std::decay_t<Load>>::kFits) {
            // A hit in memory needs no loader: none is wrapped (which would allocate) for it.
            if (std::optional<ReadThroughCore::Result> held = m_core.GetFromMemory(key)) {
                if (m_core.SampleForAudit(*held))
                    m_core.Audit(key, *held, EraseLoader(key, std::forward<Load>(loader)));
                return Typed(std::move(*held));
            }
            return Typed(m_core.Get(key, EraseLoader(key, std::forward<Load>(loader))));
        } else {
            return {};
        }
    }
    /// Get with the value lent to `visit` rather than shared: returns visit(const V&). A memory
    /// hit calls `visit` under a reader lock of the memory layer and copies no shared_ptr, so
    /// that threads reading the same key write nothing they share (a shared_ptr copy writes the
    /// value's reference count, a cache line every reader of the key then moves between cores).
    /// What it costs: the value is valid only inside `visit`; `visit` must be short (writers of
    /// a part of the memory layer wait for it) and must not call this cache or another cache of
    /// the same memory layer (a waiting writer would wait for it forever). Any other answer (a
    /// miss, a layer hit, a load) is a Get's, lent to `visit` the same way. The same counts and
    /// freshness rules as Get; with the auditor on, answers are a Get's.
    template <class Load, class Visitor>
    decltype(auto) Visit(const std::string& key, Load&& loader, Visitor&& visit) {
        using Returned = std::invoke_result_t<Visitor&, const V&>;
        if constexpr (std::is_void_v<Returned>) {
            auto call = [](const void* value, void* context) {
                (*static_cast<std::remove_reference_t<Visitor>*>(context))(
                    *static_cast<const V*>(value));
            };
            if (!m_core.VisitFromMemory(key, call, &visit))
                visit(*Get(key, std::forward<Load>(loader)).value);
        } else {
            using Kept = std::remove_cvref_t<Returned>;  // a copy: the value is only lent
            struct Context {
                std::remove_reference_t<Visitor>* visit;
                std::optional<Kept> out;
            } context{&visit, std::nullopt};
            auto call = [](const void* value, void* c) {
                auto* ctx = static_cast<Context*>(c);
                ctx->out.emplace((*ctx->visit)(*static_cast<const V*>(value)));
            };
            if (m_core.VisitFromMemory(key, call, &context)) return Kept(std::move(*context.out));
            return Kept(visit(*Get(key, std::forward<Load>(loader)).value));
        }
    }
    /// Get with the cache's loader (SetLoader). Raises VelmoraException naming the cache when
    /// none is set, whatever memory holds.
    Result Get(const std::string& key) { return Typed(m_core.Get(key)); }

    /// Get of many keys: one result a key, in order (a key asked twice is answered once). Every
    /// rule of Get holds for each key; what differs is how the misses go below memory: the keys
    /// this call loads are looked up in each layer together, one batch a layer (each key still
    /// a guarded load of its own, with its log line and metrics scope; on Redis one pipelined
    /// round trip a batch, on disk one read a key on this thread), then the loader runs once a
    /// key still missing, on this thread, one after the other. A key another thread is loading
    /// is waited for only after every load of this call has finished, so that two calls over
    /// overlapping keys never wait on each other. `loader` takes the key (loader(const
    /// std::string&)). When loads raise, the first exception is raised once every key is
    /// settled (each load's waiters get its own outcome).
    template <class Load>
    std::vector<Result> GetMany(const std::vector<std::string>& keys, Load loader) {
        static_assert(
            LoaderShape<Load>::kTakesKey && LoaderShape<Load>::kReturnsValue,
            "ReadThroughCache<V>::GetMany: the loader must be callable as "
            "loader(const std::string& key) (on a const object) and return a V or something "
            "convertible to std::shared_ptr<const V>");
        if constexpr (LoaderShape<Load>::kTakesKey && LoaderShape<Load>::kReturnsValue)
            return TypedAll(m_core.GetMany(
                keys,
                [loader = std::move(loader)](const std::string& key) -> ReadThroughCore::AnyValue {
                    return Wrap(loader(key));
                }));
        else
            return {};
    }
    /// GetMany with the cache's loader (SetLoader); raises as Get(key) when none is set.
    std::vector<Result> GetMany(const std::vector<std::string>& keys) {
        return TypedAll(m_core.GetMany(keys));
    }
    /// Sets the loader Get(key) runs: callable as loader(const std::string& key), returning what
    /// a loader of Get returns. Replaces the one before; a Get already running keeps the one it
    /// took. Any thread.
    template <class Load>
    void SetLoader(Load loader) {
        static_assert(
            LoaderShape<Load>::kTakesKey && LoaderShape<Load>::kReturnsValue,

            "ReadThroughCache<V>::SetLoader: the loader must be callable as "
            "loader(const std::string& key) (on a const object) and return a V or something "
            "convertible to std::shared_ptr<const V>");
        if constexpr (LoaderShape<Load>::kTakesKey && LoaderShape<Load>::kReturnsValue)
            m_core.SetLoader(
                [loader = std::move(loader)](const std::string& key) -> ReadThroughCore::AnyValue {
                    return Wrap(loader(key));
                });
    }

    /// A look that never loads: memory, then the layers in order, with every rule Get applies
    /// (lifetimes, announced changes, signatures, nothing held from before a silence of the
    /// service and no layer read during one); a value found in a layer fills memory and the
    /// layers above it, as for Get. Does not wait for another thread's load of the key. The
    /// value is null when nothing is found (then the other fields mean nothing). Counts as Get
    /// does (memoryHits, expired, deafHolds, layerHits, lowerRejected, externalFailures), and a
    /// look that finds nothing in tryMisses. Raises only what the codec raises on a fill.
    Result TryGet(const std::string& key) { return Typed(m_core.TryGet(key)); }

    /// For the process that changed the data: holds `value` as the key's newest, announces it,
    /// and writes it through to every layer. No verdict: the caller vouches for it. Returns the
    /// memory entry (0: none).
    unsigned int Set(const std::string& key, ValuePtr value) { return m_core.Set(key, value); }
    /// Set for `lifetime` instead of the cache's lifetime of values: the memory entry and the
    /// copies in the layers (asked as their time-to-live, and carried with the value so that
    /// every reader applies it) live that long, at most the service's horizon
    /// (RedisPubsub::ValueLifetimeSec) when there is a service. A lifetime of 0 is the cache's;
    /// raises VelmoraException for a negative one.
    unsigned int Set(const std::string& key, ValuePtr value, std::chrono::seconds lifetime) {
        return m_core.Set(key, value, lifetime);
    }
    /// Set with `tags` (see caching/CacheTags.h): a lifetime of 0 is the cache's. Raises
    /// VelmoraException for a tag refused by name, more than maxTagsPerEntry, or with useTags off.
    unsigned int Set(const std::string& key, ValuePtr value, std::chrono::seconds lifetime,
                     const std::vector<std::string>& tags) {
        return m_core.Set(key, value, lifetime, tags);
    }
    /// For the process that changed the data: drops the key from memory and announces that its
    /// content changed, so that every process drops its copies and no older stored value is served.
    void Invalidate(const std::string& key) { m_core.Invalidate(key); }
    /// For the process that changed what values tagged `tag` were built from: every process
    /// drops this cache's values carrying the tag (memory at once; a lower-layer copy is refused
    /// when read), and no value whose load began before the invalidation was heard is served
    /// after it (see caching/CacheTags.h). A dropped memory entry reaches the cascade
    /// invalidators as dirty. Host::InvalidateTag does it for every cache of the namespace.
    /// Raises VelmoraException for a tag refused by name, or with useTags off.
    void InvalidateTag(const std::string& tag) { m_core.InvalidateTag(tag); }
    /// Empties the cache of this name in every process: memory and fail-safe copies here, and,
    /// through a generation number carried in every external key (`rt.NAME.GENERATION.KEYHASH`
    /// once a cache was cleared), every copy in the layers, whose old keys are no longer
    /// read and age out (no process deletes another's disk copies). The generation is counted
    /// in the shared layer (the last one, or leaseLayer): an INCR on Redis, a read and a store
    /// on another layer. Other processes hear of it on ReadThroughOptions::clearChannel, and one
    /// that re-subscribes after a lost connection treats its cache as cleared and reads the
    /// generation again. A load in flight here or there when the clear arrives does not fill
    /// (counted in racedFillsDropped, its caller still gets its value). Counts clears. Not an
    /// announcement: the coherence service hears nothing of it. Raises VelmoraException naming
    /// the cache when the shared layer could not count the new generation (this process is
    /// cleared all the same; other processes may not be).
    void Clear() { m_core.Clear(); }

    /// The figures so far; also sent to the metrics sink (scope "ReadThroughCache::Counters").
    ReadThroughCounters GetCounters() const { return m_core.GetCounters(); }
    /// The coherence key hash of `key`.
    HashPair KeyHash(const std::string& key) const { return m_core.KeyHash(key); }
    /// Every (key, value) held in memory now.
    std::vector<std::pair<std::string, ValuePtr>> HeldValues() const {
        std::vector<std::pair<std::string, ValuePtr>> held;
        for (auto& [key, value] : m_core.HeldValues())
            held.emplace_back(key, std::static_pointer_cast<const V>(value));
        return held;
    }
    /// Whether memory still holds entry `guid`.
    bool Holds(unsigned int guid) const { return m_core.Holds(guid); }
    /// The untyped engine.
    ReadThroughCore& Core() { return m_core; }

private:
    static Codec DefaultCodec() {
        static_assert(ReadThroughCodec<V>::kExists,
                      "ReadThroughCache<V>: no codec for this V; pass a Codec (encode: V -> "
                      "bytes, decode: bytes -> shared_ptr<const V>) or use std::string, a byte "
                      "vector or a trivially copyable type without padding");
        if constexpr (ReadThroughCodec<V>::kExists)
            return {&ReadThroughCodec<V>::Encode, &ReadThroughCodec<V>::Decode};
        else
            return {};
    }
    template <class Encode, class Decode>
    static Codec MakeCodec(Encode encode, Decode decode) {
        constexpr bool kEncodes = std::is_invocable_r_v<ExternalBytes, const Encode&, const V&>;
        constexpr bool kDecodes =
            std::is_invocable_r_v<ValuePtr, const Decode&, const unsigned char*, std::size_t>;
        static_assert(kEncodes && kDecodes,
                      "ReadThroughCache<V>: the codec must be encode(const V&) -> "
                      "ExternalBytes (std::vector<unsigned char>) and decode(const unsigned "
                      "char* data, std::size_t size) -> something convertible to "
                      "std::shared_ptr<const V>");
        if constexpr (kEncodes && kDecodes)
            return {std::move(encode), std::move(decode)};
        else
            return {};
    }

    template <class R>
    static ReadThroughCore::AnyValue Wrap(R&& returned) {
        if constexpr (std::is_convertible_v<R, ValuePtr>) {
            ValuePtr value = std::forward<R>(returned);
            VEL_ASSERT(value);
            return value;
        } else {
            return std::make_shared<const V>(std::forward<R>(returned));
        }
    }
    template <class Load>
    static ReadThroughCore::Loader EraseLoader(const std::string& key, Load&& loader) {
        if constexpr (LoaderShape<std::decay_t<Load>>::kTakesKey)
            return [loader = std::forward<Load>(loader), key]() -> ReadThroughCore::AnyValue {
                return Wrap(loader(key));
            };
        else
            return [loader = std::forward<Load>(loader)]() -> ReadThroughCore::AnyValue {
                return Wrap(loader());
            };
    }
    static std::vector<Result> TypedAll(std::vector<ReadThroughCore::Result> all) {
        std::vector<Result> typed;
        typed.reserve(all.size());
        for (ReadThroughCore::Result& r : all) typed.push_back(Typed(std::move(r)));
        return typed;
    }
    static Result Typed(ReadThroughCore::Result r) {
        return {std::static_pointer_cast<const V>(std::move(r.value)),
                r.source,
                r.layer,
                r.guid,
                r.coalesced,
                r.stale,
                std::move(r.tags)};
    }

    /// The untyped codec; empty when the typed one is.
    static ReadThroughCore::Encode Erase(std::function<ExternalBytes(const V&)> encode) {
        if (!encode) return {};
        return [encode = std::move(encode)](const void* v) {
            return encode(*static_cast<const V*>(v));
        };
    }
    static ReadThroughCore::Decode Erase(
        std::function<ValuePtr(const unsigned char*, std::size_t)> decode) {
        if (!decode) return {};
        return [decode = std::move(decode)](const unsigned char* data, std::size_t size) {
            return ReadThroughCore::AnyValue(decode(data, size));
        };
    }

    ReadThroughCore m_core;
};

}  // namespace velmora::caching
