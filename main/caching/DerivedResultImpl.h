// The engine of the derived-result cache. Private to the library: DerivedResultCache.cpp.
//
// DerivedResultCore::Impl holds the kept results and their indexes under one leaf mutex; the
// computation, the aggregator and the coherence service are called with it released. A
// Handler and the prune listener reach the engine through a weak pointer to the core, so that
// neither runs once the last owner of the core has let it go.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "caching/CascadeInvalidator.h"
#include "caching/DerivedResultCache.h"
#include "velsys/Locks.h"

namespace velmora::caching {

// The handler of one computation: fires once, on the thread that found a part dirty.
class DerivedResultCore::Handler : public IScopeDirtyHandler {
public:
    Handler(std::weak_ptr<DerivedResultCore> owner, std::string key, std::uint64_t token)
        : m_owner(std::move(owner)), m_key(std::move(key)), m_token(token) {}
    void OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>&) override;

private:
    friend class DerivedResultCore::Impl;
    std::weak_ptr<DerivedResultCore> m_owner;
    const std::string m_key;
    const std::uint64_t m_token;
    bool m_fired = false;  // guarded by the engine's m_mutex
};

class DerivedResultCore::Impl {
public:
    Impl(std::shared_ptr<RedisPubsub> service, std::size_t maxResults);
    // Stops listening for prunes and lets the aggregator forget the scope of every result kept.
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Registers the prune listener on the service (if any); `owner` is the core that owns this
    // engine. After construction, since the listener holds a weak pointer to the core.
    void Listen(const std::weak_ptr<DerivedResultCore>& owner);

    // See DerivedResultCore::Get; `owner` goes to the computation's handler.
    Result Get(const std::weak_ptr<DerivedResultCore>& owner, const std::string& key,
               const std::function<AnyValue()>& compute);
    void Drop(const std::string& key);
    std::vector<std::pair<std::string, AnyValue>> HeldValues() const;
    DerivedResultCounters GetCounters() const;

    // A part of the handler's result went dirty: forgets the result if it is still the one the
    // handler was made for, and marks the handler fired. Under the coherence service's lock.
    void OnScopeDirty(Handler& handler);
    // The service let go of the evicted records of `guids`: forgets every result built on one.
    void OnPruned(const std::vector<unsigned int>& guids);

private:
    using ScopePtr = std::shared_ptr<IInvalidatorAggregatorScope>;
    struct Kept {
        AnyValue value;
        std::uint64_t token = 0;
        std::vector<unsigned int> guids;
        ScopePtr scope;  // registered with the aggregator while the result is kept
    };
    // One computation of `key`: runs `compute` under a fresh scope and keeps what it gives when
    // it may (see DerivedResultCore::Get).
    Result Compute(const std::weak_ptr<DerivedResultCore>& owner, const std::string& key,
                   const std::function<AnyValue()>& compute);
    // Keeps the result unless its handler fired; returns whether it did. The scope of a result
    // it replaces goes to `released`.
    bool Keep(const std::shared_ptr<Handler>& handler, AnyValue value,
              std::vector<unsigned int> guids, ScopePtr scope, std::vector<ScopePtr>& released);
    // Forgets the result; returns its scope, which the caller drops once m_mutex is released
    // (unless it turned dirty: then the aggregator has dropped it already).
    ScopePtr EraseLocked(std::map<std::string, Kept>::iterator it) VEL_REQUIRES(m_mutex);
    // Lets the aggregator forget the scopes of results no longer kept. No lock held.
    static void Release(std::vector<ScopePtr>& scopes);

    // Constant after construction (m_listener: after Listen).
    const std::shared_ptr<RedisPubsub> m_service;
    const std::size_t m_maxResults;  // 0: no bound
    std::uint64_t m_listener = 0;

    mutable TMutex m_mutex;
    // Guarded by m_mutex.
    std::map<std::string, Kept> m_results VEL_GUARDED_BY(m_mutex);
    std::multimap<unsigned int, std::string> m_byGuid VEL_GUARDED_BY(m_mutex);  // part -> results
    // Token -> key of every kept result: the order they go in past the bound.
    std::map<std::uint64_t, std::string> m_byToken VEL_GUARDED_BY(m_mutex);
    std::uint64_t m_nextToken VEL_GUARDED_BY(m_mutex) = 0;

    std::atomic<long long> m_held{0}, m_built{0}, m_notKept{0}, m_droppedDirty{0},
        m_droppedOnPrune{0}, m_droppedOverBound{0}, m_silenceRecomputes{0};
};

}  // namespace velmora::caching
