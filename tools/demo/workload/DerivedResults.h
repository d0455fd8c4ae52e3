// DerivedResults: a worker's answers to derived queries, each built from cached answers of base
// queries under one cascade scope. The handler registered on that scope drops the derived
// answer when any entry it was built from becomes dirty. The handler is registered before the
// entries are used, and an answer whose handler already fired is never stored, so a change that
// lands while the answer is being built cannot leave it behind. When the coherence service lets
// go of an evicted entry an answer was built from, the answer is dropped as well: the cascade
// could no longer reach it.
// Safe for concurrent use: the handlers run on the coherence service's delivery thread.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "QueryResult.h"
#include "caching/CascadeInvalidator.h"
#include "velsys/Locks.h"

namespace demo {

class DerivedResults : public std::enable_shared_from_this<DerivedResults> {
public:
    class Handler;

    ResultPtr Find(int qid) const;
    // A handler for the next answer to `qid`; register it on the scope before building.
    std::shared_ptr<Handler> NewHandler(int qid);
    // Keeps the answer, built from the memory entries `guids`, unless its handler has fired;
    // returns whether it was kept.
    bool Put(const std::shared_ptr<Handler>& handler, ResultPtr result,
             std::vector<unsigned int> guids);
    // The coherence service no longer tracks these entries: drops the answers built from them.
    void OnEntriesEvicted(const std::vector<unsigned int>& guids);
    std::int64_t DroppedOnEviction() const { return m_droppedOnEviction.load(); }
    std::vector<ResultPtr> Held() const;
    // Scopes whose handler dropped (or prevented) an answer.
    std::int64_t ScopesInvalidated() const { return m_scopesInvalidated.load(); }

private:
    void OnScopeDirty(Handler& handler);

    struct Kept {
        ResultPtr result;
        std::uint64_t token = 0;
        std::vector<unsigned int> guids;
    };
    // Erases the answer to `qid` and its guids. REQUIRES: m_mutex held.
    void EraseLocked(std::map<int, Kept>::iterator it) REQUIRES(m_mutex);

    mutable TMutex m_mutex;
    std::map<int, Kept> m_results GUARDED_BY(m_mutex);
    // memory entry -> answers built from it
    std::multimap<unsigned int, int> m_byGuid GUARDED_BY(m_mutex);
    std::uint64_t m_nextToken GUARDED_BY(m_mutex) = 0;
    std::atomic<std::int64_t> m_scopesInvalidated{0};
    std::atomic<std::int64_t> m_droppedOnEviction{0};
};

class DerivedResults::Handler : public velmora::caching::IScopeDirtyHandler {
public:
    Handler(std::weak_ptr<DerivedResults> owner, int qid, std::uint64_t token)
        : m_owner(std::move(owner)), m_qid(qid), m_token(token) {}
    // Called once, with no lock of the aggregator held (but the coherence service's).
    void OnScopeDirty(
        const std::shared_ptr<velmora::caching::IInvalidatorAggregatorScope>&) override;

private:
    friend class DerivedResults;
    std::weak_ptr<DerivedResults> m_owner;
    int m_qid;
    std::uint64_t m_token;
    bool m_fired = false;  // guarded by the owner's m_mutex
};

}  // namespace demo
