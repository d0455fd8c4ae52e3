// Tags on cached values: a value names what it was built from ("orders:42",
// "sales:region=EU"), and one InvalidateTag drops every value carrying the tag, in every process
// of a coherence namespace, memory and lower layers alike.
//
// How a value is judged, without comparing the clocks of different machines. Every invalidation
// gets a stamp from one place: the id the Redis server gives it in the namespace's tag stream
// (the server's milliseconds and a sequence; the server makes every id greater than the one
// before). The stream entry and the message on the tag channel are written by one script, so
// every subscriber hears the invalidations in stamp order. A load notes, as it begins, the
// newest stamp its process has heard (its watermark); the value carries that stamp with its
// tags, in memory and in the envelope stored below. A value whose tag was invalidated under a
// stamp newer than the one it carries began loading before that invalidation reached this
// process, and is refused (memory drops it as the invalidation is heard; a fill or a lower-layer
// read checks it); one that carries a newer stamp was loaded after the invalidation was heard
// here, so from data that already held the change (the writer invalidates after its commit, and
// a loader reads data at least as new as every change announced before the load began). Only
// stamps the server made are compared. Without Redis, stamps come from this process's clock and
// tagged values stored below by an earlier run are refused (nothing tells it what was
// invalidated meanwhile).
//
// What is remembered, and for how long: each tag invalidated within the horizon (the values'
// longest lifetime), by a 64-bit hash of its scope and name (a collision refuses a value that
// was still good, never the reverse), at most maxRemembered of them. A tag forgotten early (the
// cap) or late (the horizon) raises the forgotten watermark: a tagged value loaded under an older
// stamp cannot be proven untouched and is refused (a miss, loaded again). A process that may
// have missed invalidations (its subscription was lost and the stream no longer holds where it
// stopped, or the catch-up failed) raises it to everything heard so far and drops every tagged
// memory entry.
//
// Ownership: a host makes one TagInvalidations per coherence namespace and its caches share it;
// a cache made without one keeps its own, in its process only. Threads: every member is safe
// for concurrent use; listeners run on the thread that invalidated or on the subscription's
// delivery thread, with no lock of this object held. Locks: one mutex (a leaf) over the table,
// the listeners and the retry queue; no Redis call is made under it.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "VelcacheExport.h"

namespace velmora::caching {

class RedisSubscriptionManager;

/// Where an invalidation stands in the order of its namespace: the server's stream id
/// (milliseconds, then a sequence). Ordered; {0, 0} is before every invalidation.
struct TagStamp {
    std::uint64_t ms = 0;   ///< the milliseconds part
    std::uint64_t seq = 0;  ///< the sequence within that millisecond
    /// Ordered by ms, then seq.
    auto operator<=>(const TagStamp&) const = default;
};

/// The longest tag, in bytes; a longer one is refused by name.
inline constexpr std::size_t kMaxTagBytes = 256;

/// The tags of one value and the stamp it was loaded under (see above).
struct CacheTagSet {
    std::vector<std::string> names;  ///< sorted, each once
    TagStamp loadedUnder;            ///< the watermark as the load began
};

/// Tags the value that the loader running on this thread is producing (a loader of
/// ReadThroughCache Get, GetMany or SetLoader), and the values of every load enclosing it.
/// Returns false, doing nothing, when no load runs on this thread (a loader called directly).
/// Raises VelmoraException for an empty tag or one over kMaxTagBytes.
VELCACHE_EXPORT bool TagLoad(std::string_view tag);

/// The counts of tag invalidations, one line each: X(member, tag, help). Reported under their tags
/// in the metrics scope "TagInvalidations::Counters" (GetCounters).
#define VELCACHE_TAG_COUNTS(X)                                                                 \
    X(sent, "sent", "Tag invalidations this process made that reached the server.")            \
    X(queued, "queued", "Tag invalidations that waited in the retry queue.")                   \
    X(dropped, "dropped", "Tag invalidations still queued when the service stopped.")          \
    X(heard, "heard", "Tag invalidations heard (live or replayed; this process's own too).")   \
    X(replayed, "replayed", "Of those heard, read from the stream after a lost subscription.") \
    X(gaps, "gaps", "Times invalidations may have been missed (every tagged value refused).")  \
    X(forgotten, "forgotten", "Remembered tags let go (past the horizon or over the cap).")

/// The figures of a TagInvalidations since it was made.
struct TagInvalidationCounters {
#define VELCACHE_TAG_MEMBER(member, tag, help) long long member = 0;
    VELCACHE_TAG_COUNTS(VELCACHE_TAG_MEMBER)
#undef VELCACHE_TAG_MEMBER
    long long remembered = 0;  ///< tags remembered now (a gauge: "remembered")
    bool unsure = false;       ///< invalidations may have been missed: tagged values are refused
};

/// How a TagInvalidations is set up.
struct TagInvalidationsOptions {
    /// The channel of the namespace's invalidations; outside every coherence namespace.
    std::string channel = "velcache.tags";
    /// The stream that keeps them for catch-up and for processes that start later.
    std::string streamKey = "{velcache.coherence.}tags";
    /// How long an invalidation is remembered (and kept in the stream), seconds: at least the
    /// longest lifetime of a value.
    long long horizonSec = 600;
    /// The most tags remembered at once (each costs about 75 bytes here; the stream keeps as
    /// many entries on the server).
    std::size_t maxRemembered = 1000000;
    /// How long a start waits for the subscription to be confirmed and the stream read, ms.
    unsigned int subscribeWaitMs = 2000;
};

/// The tag invalidations of one coherence namespace (see the file's opening comment).
class VELCACHE_EXPORT TagInvalidations {
public:
    /// Told of each invalidation heard: the scope ("" for every cache, else a cache's name), the
    /// tag and its stamp; a gap is told with an empty tag (every tagged value may be stale).
    using Listener =
        std::function<void(const std::string& scope, const std::string& tag, TagStamp stamp)>;

    /// In this process only: stamps from this process's clock.
    static std::shared_ptr<TagInvalidations> InProcess(TagInvalidationsOptions options = {});
    /// Across the processes subscribed through `manager` (borrowed: it must outlive this).
    /// Subscribes to the channel and reads the stream (waiting at most subscribeWaitMs; when the
    /// server does not answer, every tagged value is refused until it does).
    static std::shared_ptr<TagInvalidations> OverRedis(RedisSubscriptionManager& manager,
                                                       TagInvalidationsOptions options = {});
    /// Runs Stop with a deadline of two seconds.
    ~TagInvalidations();
    TagInvalidations(const TagInvalidations&) = delete;
    TagInvalidations& operator=(const TagInvalidations&) = delete;

    /// Drops every value tagged `tag` (of the cache named `scope`, or of every cache when empty),
    /// here at once and in every process once heard: one script on the server appends it to
    /// the stream and publishes it. When the server cannot take it, it waits in a retry queue
    /// (sent in order by a thread of this object's) and is applied here meanwhile as if newer
    /// than anything loaded. Raises VelmoraException for a tag refused by name (empty, too long).
    void Invalidate(const std::string& tag, const std::string& scope = {});
    /// Invalidate of every tag of `tags`, in that order, in as few round trips as it takes (one
    /// script call a thousand tags). Raises, invalidating none, when one is refused by name.
    void Invalidate(const std::vector<std::string>& tags, const std::string& scope = {});
    /// Invalidate, only when the server takes every tag now: returns true once each one was
    /// appended to the stream and published (and applied here); false when the server did not
    /// take them all (those it took are applied; nothing is queued). For a caller that keeps
    /// its own record of what is announced (a commit-log reader moves its position only after
    /// true) and tries again: a tag invalidated twice costs a load, never a stale value. In
    /// this process only (InProcess), always true. Raises as Invalidate does.
    bool TryInvalidate(const std::vector<std::string>& tags, const std::string& scope = {});
    /// The stamp a load beginning now notes (the newest heard).
    TagStamp Watermark() const;
    /// Whether a value of the cache `scope` with `tags` loaded under `loadedUnder` may be served
    /// or filled: none of its tags was invalidated since, and nothing it needs was forgotten.
    bool MayServe(const std::string& scope, const CacheTagSet& tags) const;
    /// Adds a listener (see Listener); returns its id.
    std::uint64_t AddListener(Listener listener);
    /// Removes a listener; when it returns, the listener is not running and will not start.
    /// REQUIRES: not called from a listener.
    void RemoveListener(std::uint64_t id);
    /// The figures so far; also sent to the metrics sink.
    TagInvalidationCounters GetCounters() const;
    /// Publishes what the retry queue holds while `deadline` lets it (what is left is dropped,
    /// counted and said at Warn), unsubscribes and joins the retry thread. Idempotent.
    void Stop(std::chrono::milliseconds deadline = std::chrono::milliseconds(2000));

    class Impl;

private:
    explicit TagInvalidations(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace velmora::caching
