// DerivedResultCache<V>: results computed from other cached results (read-through Gets), kept
// until any part goes stale. The host writes the computation only.
//
// Get(key, compute) answers from the results held (not while the service hears nothing from its
// server: RedisPubsub::Hears); otherwise it opens a query-job scope (the
// calling thread's current scope from then on, replacing the one before; a thread context is
// bound for the call when none is), registers the result's handler on it BEFORE the
// computation uses any part, runs `compute` (whose read-through Gets record their memory
// entries in the scope and in the facility), ends the scope, and keeps the result unless
//   - the handler already fired (a part went stale while the result was being built),
//   - a part came back uncached (no memory entry: nothing could tell the result it went stale),
//   - a part's memory entry is no longer held when the computation ends (it went before its
//     use could be recorded), or
//   - cascade invalidation is off (SyncCaches): nothing could tell the result.
// A kept result is dropped when any of its parts becomes dirty (its scope's handler), and when
// the coherence service lets go of the evicted record of one of its parts (a prune listener on
// the service): from then on nothing could tell it that the part went stale. At most
// `maxResults` results are kept (0: no bound); past it, the one whose computation started first
// goes (counted in droppedOverBound), so that results whose parts stay held forever cannot
// accumulate without end. A result let go is computed again at its next Get.
// A computation is a span of time: parts it read from memory while the service still heard its
// server may date from before a silence that has outlasted CacheSynchronizationMaxDeafMs by the
// time it ends (a part behind a frozen server's time-out). When the service hears nothing at its
// end and heard its server during it, the result is computed again (counted in
// silenceRecomputes; at most twice), so that nothing held from before a silence reaches an
// answer given once the silence has lasted the bound.
//
// Ownership: the facility borrows the service (kept by shared pointer) and must be owned by a
// std::shared_ptr (Create). A kept result holds its query-job scope; when the result goes
// (replaced, dropped, pruned, or the facility destroyed) or is not kept, the scope is dropped
// from the aggregator (CascadeInvalidatorAggregator::DropScope), so that the aggregator holds
// one scope per kept result, not one per computation ever made.
// Threads: every member is safe for concurrent use; the handlers and the prune listener run on
// the thread that found a part dirty or pruned it, under the coherence service's lock, and take
// the facility's own lock, then (released) the aggregator's. `compute` runs on the caller's
// thread with no lock held. REQUIRES: Get is not called from inside another
// computation of a DerivedResultCache (raises LogicException "!nested").
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "VelcacheExport.h"
#include "caching/ReadThroughCache.h"

namespace velmora::caching {

/// The figures of one derived-result cache (GetCounters).
struct DerivedResultCounters {
    long long held = 0;              ///< answered from a kept result
    long long built = 0;             ///< computed and kept
    long long notKept = 0;           ///< computed, not kept (see above)
    long long droppedDirty = 0;      ///< kept results dropped because a part went stale
    long long droppedOnPrune = 0;    ///< kept results dropped because a part's tracking ended
    long long droppedOverBound = 0;  ///< kept results let go, oldest first, past the bound
    /// computations done again because the service stopped hearing its server while they ran
    long long silenceRecomputes = 0;
};

/// The untyped engine of DerivedResultCache<V>; results are held as shared_ptr<const void>.
class VELCACHE_EXPORT DerivedResultCore : public std::enable_shared_from_this<DerivedResultCore> {
public:
    /// A result of any type.
    using AnyValue = std::shared_ptr<const void>;
    /// What a Get answers.
    struct Result {
        /// The result.
        AnyValue value;
        bool held = false;  ///< from a kept result
        bool kept = false;  ///< computed now and kept
    };

    /// How many results a cache keeps unless told otherwise.
    static constexpr std::size_t kDefaultMaxResults = 10000;

    /// `service` may be null (then results are dropped only when a part goes dirty).
    /// `maxResults`: how many results are kept at most; 0: no bound.
    static std::shared_ptr<DerivedResultCore> Create(std::shared_ptr<RedisPubsub> service,
                                                     std::size_t maxResults = kDefaultMaxResults);
    ~DerivedResultCore();
    DerivedResultCore(const DerivedResultCore&) = delete;
    DerivedResultCore& operator=(const DerivedResultCore&) = delete;

    /// Raises what `compute` raises (nothing is kept then).
    Result Get(const std::string& key, const std::function<AnyValue()>& compute);
    /// Forgets the result of `key`, if kept.
    void Drop(const std::string& key);
    /// Every (key, result) kept now.
    std::vector<std::pair<std::string, AnyValue>> HeldValues() const;
    /// The figures so far.
    DerivedResultCounters GetCounters() const;

    /// The handler of one computation (private to the library).
    class Handler;
    /// The engine: the kept results, their indexes and its lock (private to the library).
    class Impl;

private:
    DerivedResultCore(std::shared_ptr<RedisPubsub> service, std::size_t maxResults);

    std::unique_ptr<Impl> m_impl;
};

/// The typed face: results of type V, held as std::shared_ptr<const V>.
template <class V>
class DerivedResultCache {
public:
    /// How results are held and answered.
    using ValuePtr = std::shared_ptr<const V>;
    /// What a Get answers.
    struct Result {
        /// The result.
        ValuePtr value;
        /// From a kept result.
        bool held = false;
        /// Computed now and kept.
        bool kept = false;
    };

    /// Results dropped when a part goes stale; `service` may be null (then only when a part goes
    /// dirty). At most `maxResults` are kept, the oldest going first; 0: no bound.
    explicit DerivedResultCache(std::shared_ptr<RedisPubsub> service,
                                std::size_t maxResults = DerivedResultCore::kDefaultMaxResults)
        : m_core(DerivedResultCore::Create(std::move(service), maxResults)) {}

    /// `compute` returns a V or a pointer convertible to ValuePtr (not null).
    template <class Compute>
    Result Get(const std::string& key, Compute&& compute) {
        DerivedResultCore::Result r = m_core->Get(key, [&compute]() -> DerivedResultCore::AnyValue {
            if constexpr (std::is_convertible_v<decltype(compute()), ValuePtr>) {
                ValuePtr value = compute();
                VEL_ASSERT(value);
                return value;
            } else {
                return std::make_shared<const V>(compute());
            }
        });
        return {std::static_pointer_cast<const V>(std::move(r.value)), r.held, r.kept};
    }
    /// Forgets the result of `key`, if kept.
    void Drop(const std::string& key) { m_core->Drop(key); }
    /// Every (key, result) kept now.
    std::vector<std::pair<std::string, ValuePtr>> HeldValues() const {
        std::vector<std::pair<std::string, ValuePtr>> held;
        for (auto& [key, value] : m_core->HeldValues())
            held.emplace_back(key, std::static_pointer_cast<const V>(value));
        return held;
    }
    /// The figures so far.
    DerivedResultCounters GetCounters() const { return m_core->GetCounters(); }

private:
    std::shared_ptr<DerivedResultCore> m_core;
};

}  // namespace velmora::caching
