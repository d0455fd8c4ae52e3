// Cascade invalidation: query-job scopes that record the cache entries a job used, and the
// process-wide aggregator that tells a scope's handlers when one of those entries goes stale.
//
// A query job gets a scope from CascadeInvalidatorAggregator_CreateQueryJobScope, which also
// makes it the thread's current scope; every entry the job then uses (OnEntryUsed) is recorded
// in it by guid. Whoever keeps the job's result registers an IScopeDirtyHandler on the scope.
// When the coherence service reports a recorded guid dirty, the aggregator drops the scope and
// tells each of its handlers once. Scopes, handlers and invalidators are owned through
// std::shared_ptr; the aggregator owns the scopes that have a handler and are still clean, and
// lives until the process ends. Misuse raises LogicException; nothing here evicts on its own.
// Thread contract: safe for concurrent use.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "VelcacheExport.h"
#include "caching/CacheCoherence.h"
#include "velsys/Locks.h"

namespace velmora::caching {

/// The one shared-from-this anchor of an object that implements several interfaces of this
/// family: the interfaces derive from it virtually, so shared_from_this() is unambiguous and
/// yields a pointer to this base, which callers cast (std::dynamic_pointer_cast) to the type they
/// want. REQUIRES: the object is owned by a std::shared_ptr before shared_from_this() is called;
/// otherwise it throws std::bad_weak_ptr.
class VELCACHE_EXPORT virtual_enable_shared_from_this_base
    : public std::enable_shared_from_this<virtual_enable_shared_from_this_base> {
public:
    virtual ~virtual_enable_shared_from_this_base();

    /// shared_from_this() cast to T: null when this object is not a T. Declared here, in the one
    /// shared base, so that it is unambiguous on a class implementing several interfaces.
    template <class T>
    std::shared_ptr<T> SharedFromThisAs() {
        return std::dynamic_pointer_cast<T>(shared_from_this());
    }
};

/// The base of every interface of this family.
class VELCACHE_EXPORT virtual_enable_shared_from_this
    : public virtual virtual_enable_shared_from_this_base {};

class IInvalidatorAggregatorScope;

/// Told when entries are used, evicted or go stale; the invalidator holder keeps the process's
/// list of them. Each operation runs on the caller's thread with the caller's locks held (the
/// coherence service holds its own lock while it calls OnDirty and OnEvicted).
class VELCACHE_EXPORT ICascadeInvalidator : public virtual_enable_shared_from_this {
public:
    /// The calling thread's query job used entry `guid` of `cache`.
    virtual void OnEntryUsed(unsigned int guid, const ICoherentCache* cache) = 0;
    /// These entries left `cache`.
    virtual void OnEvicted(const std::vector<unsigned int>& guids, const ICoherentCache* cache) = 0;
    /// These entries of `cache` are stale.
    virtual void OnDirty(const std::vector<unsigned int>& guids, const ICoherentCache* cache) = 0;
    /// The result of `scope` was used. Does nothing by default.
    virtual void OnResultUsed(const std::shared_ptr<IInvalidatorAggregatorScope>& scope);
};

class IScopeDirtyHandler;

/// The scope of one query job.
class VELCACHE_EXPORT IInvalidatorAggregatorScope : public virtual_enable_shared_from_this {
public:
    /// The job has finished using entries: none is recorded afterwards.
    virtual void EndScope() = 0;
    /// The job's result has been used.
    virtual void OnResultUsed() = 0;
    /// Calls `handler` once when the scope becomes dirty, or at once if it already is.
    virtual void AddHandler(const std::shared_ptr<IScopeDirtyHandler>& handler) = 0;
};

/// Implemented by the host to drop results built from stale entries.
class VELCACHE_EXPORT IScopeDirtyHandler {
public:
    virtual ~IScopeDirtyHandler();
    /// `scope` became dirty. Called once per handler and scope, on the thread that reported the
    /// dirty entry (or the one adding the handler to an already dirty scope), with no lock of
    /// the aggregator or the scope held; the caller of OnDirty may hold its own lock (the
    /// coherence service does), so a handler must not wait for a thread that needs it. A handler
    /// may call back into the aggregator and its scopes. An exception propagates to the caller
    /// of OnDirty (or AddHandler); the handlers after it in that call are not told.
    virtual void OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>& scope) = 0;
};

/// The process's invalidator of query-job scopes.
///
/// OnDirty and OnEvicted cost in proportion to the scopes that recorded the guids they are given,
/// not to every registered scope: the aggregator keeps an index from each guid recorded by a
/// registered scope to the scopes that recorded it. A scope's guids enter the index when it is
/// registered (and as it records more afterwards) and leave it when they are evicted, when the
/// scope turns dirty, or when ResetForTest forgets the scope; registered scopes are owned by the
/// aggregator, so the index never names a scope that is gone.
///
/// Lock order: m_mutex before a scope's m_mutex, never the other way round; m_indexMutex comes
/// last (nothing is taken while it is held). Handlers run with none held. OnEvicted holds m_mutex
/// shared, every other hold is exclusive.
class VELCACHE_EXPORT CascadeInvalidatorAggregator : public ICascadeInvalidator {
public:
    /// The aggregator's query-job scope: records the entries a job used and the handlers to tell
    /// when one goes dirty.
    class VELCACHE_EXPORT Scope : public IInvalidatorAggregatorScope {
    public:
        /// REQUIRES: `aggregator` outlives the scope (the process's aggregator always does).
        explicit Scope(CascadeInvalidatorAggregator* aggregator);
        ~Scope() override;
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

        /// REQUIRES: called at most once; a second call raises "!m_endedScope".
        void EndScope() override;
        /// Tells every invalidator of the holder, in list order, that this scope's result was
        /// used.
        void OnResultUsed() override;
        /// The first handler of a clean scope registers it with the aggregator. A handler already
        /// present stays once. On a dirty scope the handler is told at once, on this thread (so a
        /// handler added again after the scope turned dirty is told again).
        /// Between storing the first handler and registering the scope, a concurrent OnDirty
        /// does not see the scope (the entry stays recorded, so a later OnDirty still does).
        /// REQUIRES: handler is not null.
        void AddHandler(const std::shared_ptr<IScopeDirtyHandler>& handler) override;

        /// Whether a recorded entry made the scope dirty (it stays so).
        bool IsDirty() const;
        /// Whether EndScope has run.
        bool IsEnded() const;

    private:
        friend class CascadeInvalidatorAggregator;

        /// Records `guid` unless the scope has ended (tested without the lock: a guid used while
        /// EndScope runs on another thread may still be recorded). A guid already recorded is
        /// mostly recognised without the lock (see the slot tables below).
        void RecordGuid(unsigned int guid);
        /// The part of RecordGuid that takes the lock, for a guid not found in its slot.
        void RecordNewGuid(unsigned int guid);
        /// Forgets the evicted guids. REQUIRES: guids is not empty.
        void EraseGuids(const std::vector<unsigned int>& guids);
        /// If clean and any of `guids` is recorded: turns dirty, forgets the guids (and takes
        /// them out of the index) and moves the handlers into `handlers`. Returns whether the
        /// scope became dirty in this call. REQUIRES: the aggregator's m_mutex held exclusively.
        bool TryMakeDirty(const std::vector<unsigned int>& guids,
                          std::unordered_set<std::shared_ptr<IScopeDirtyHandler>>& handlers)
            VEL_REQUIRES(m_aggregator->m_mutex);
        /// Enters or takes out every recorded guid of the scope in the aggregator's index.
        /// REQUIRES: the aggregator's m_mutex held exclusively.
        void SetRegistered(bool registered) VEL_REQUIRES(m_aggregator->m_mutex);
        /// Takes the scope out of the index and moves its handlers into `handlers` (the scope
        /// stays clean). REQUIRES: the aggregator's m_mutex held exclusively.
        void Unregister(std::unordered_set<std::shared_ptr<IScopeDirtyHandler>>& handlers)
            VEL_REQUIRES(m_aggregator->m_mutex);
        /// For a scope reached through its aggregator with the aggregator's m_mutex held
        /// exclusively: checks that hold in debug builds and states it for the analysis, which
        /// cannot tell that the scope's aggregator is the one whose lock the caller took.
        void AssertAggregatorLockHeld() const VEL_ASSERT_CAPABILITY(m_aggregator->m_mutex) {
            VEL_ASSERT_HELD(m_aggregator->m_mutex);
        }
        void NotifyHandler(const std::shared_ptr<IScopeDirtyHandler>& handler);

        /// Stores `guid` in its slot of the current table. REQUIRES: m_mutex held.
        void RememberGuid(unsigned int guid) VEL_REQUIRES(m_mutex);
        /// Replaces the slot table by one of `size` slots filled from m_guids. REQUIRES: m_mutex
        /// held.
        void ReplaceSlots(unsigned int size) VEL_REQUIRES(m_mutex);

        /// The slot tables of recorded guids: element 0 holds the mask, guid g sits in element
        /// 1 + (g & mask), so the consecutive ids of one cache's entries take different slots. A
        /// guid found in its slot is known to be recorded (and indexed, if the scope is
        /// registered); 0 is no guid. The table starts inline and doubles, up to kMaxSlots,
        /// while the scope records more guids than it has slots, so that a job cycling through
        /// many entries still finds them without the lock. A replaced table is never written
        /// again and is kept until the scope dies, since a thread may still be reading it (a
        /// guid found there was recorded when the table was replaced, which is within that
        /// thread's call); the tables kept add up to less than the current one.
        static constexpr unsigned int kInitialSlots = 64;
        static constexpr unsigned int kMaxSlots = 4096;

        TRecursiveMutex m_mutex VEL_ACQUIRED_AFTER(m_aggregator->m_mutex){0};
        /// Constant after construction
        CascadeInvalidatorAggregator* const m_aggregator;
        std::unordered_set<unsigned int> m_guids VEL_GUARDED_BY(m_mutex);
        /// by address
        std::unordered_set<std::shared_ptr<IScopeDirtyHandler>> m_handlers VEL_GUARDED_BY(m_mutex);
        /// Whether the aggregator tracks the scope, so that its guids are in the index. Changes
        /// under the aggregator's m_mutex and this m_mutex, and is read under either (which the
        /// analysis cannot express, so it is not annotated).
        bool m_registered = false;
        /// Slots are written under m_mutex (a slot holds a guid only while m_guids holds it) and
        /// read without; m_slots changes under m_mutex and is read without.
        std::array<std::atomic<unsigned int>, kInitialSlots + 1> m_initialSlots{};
        std::atomic<std::atomic<unsigned int>*> m_slots{m_initialSlots.data()};
        /// The grown tables, the current one last.
        std::vector<std::unique_ptr<std::atomic<unsigned int>[]>> m_grownSlots
            VEL_GUARDED_BY(m_mutex);
        /// Read without the lock; m_dirty changes only under m_mutex, and only once.
        std::atomic<bool> m_endedScope{false};
        std::atomic<bool> m_dirty{false};
    };

    /// Hosts use TryGetSingleton; a separate instance serves tools and benchmarks that must not
    /// share the process's scopes.
    CascadeInvalidatorAggregator();
    ~CascadeInvalidatorAggregator() override;
    CascadeInvalidatorAggregator(const CascadeInvalidatorAggregator&) = delete;
    CascadeInvalidatorAggregator& operator=(const CascadeInvalidatorAggregator&) = delete;

    /// The process's aggregator, made on the first call with option SyncCaches on and kept until
    /// the process ends; null while SyncCaches is off (read on every call).
    static CascadeInvalidatorAggregator* TryGetSingleton();

    /// Records `guid` in the calling thread's current scope; does nothing outside a query job.
    /// REQUIRES: a thread context is bound to the calling thread; its scope, if any, is a Scope
    /// (else "scope" is raised). `cache` is ignored.
    void OnEntryUsed(unsigned int guid, const ICoherentCache* cache) override;
    /// Forgets the evicted guids in every registered scope, so they can no longer make it dirty.
    /// An empty list does nothing. `cache` is ignored.
    void OnEvicted(const std::vector<unsigned int>& guids, const ICoherentCache* cache) override;
    /// Every registered clean scope that recorded one of `guids` turns dirty and is dropped; then,
    /// with no lock held, each of its handlers is told once, scope by scope. A scope without a
    /// handler is not registered and is never made dirty. REQUIRES: guids is not empty (else
    /// "!guids.empty()" is raised before anything changes). `cache` is ignored.
    void OnDirty(const std::vector<unsigned int>& guids, const ICoherentCache* cache) override;

    /// Registers `scope` (called by Scope::AddHandler with the scope's lock released). A scope
    /// already registered stays once; one that is already dirty is not registered again.
    void OnScopeHasHandler(const std::shared_ptr<Scope>& scope);

    /// The host no longer wants to hear of `scope` (the result it kept from it is gone): if it
    /// is a registered clean Scope, it leaves its aggregator and the index and its handlers are
    /// released (after the locks); anything else (null, dirty, unregistered, another class) is
    /// left alone. Not part of the interface above: without it a registered scope is kept until
    /// one of its entries turns dirty, which never happens once they are all evicted. A later
    /// AddHandler registers the scope again. Any thread; takes the scope's aggregator's m_mutex.
    static void DropScope(const std::shared_ptr<IInvalidatorAggregatorScope>& scope);

    /// Test hook: forgets every registered scope. Takes no lock: single-threaded set-up only.
    /// REQUIRES: the unit-test flag of AppConfig is on.
    void ResetForTest();

    /// The number of registered scopes (a snapshot).
    size_t GetScopeCount();

    /// Test hook: compares the guid index with the registered scopes' guids; returns what is
    /// wrong, or an empty text. REQUIRES: the unit-test flag of AppConfig is on.
    TString CheckIndexForTest();

private:
    friend class Scope;
    using Index = std::unordered_map<unsigned int, std::vector<Scope*>>;

    /// Enter or take out one (guid, scope) pair of the index; take m_indexMutex.
    void IndexGuid(unsigned int guid, Scope* scope);
    void UnindexGuid(unsigned int guid, Scope* scope);
    /// OnEntryUsed while its line is written: logs, then records `guid` in `current`.
    /// REQUIRES: current is a Scope.
    void LogEntryUsed(const std::shared_ptr<IInvalidatorAggregatorScope>& current,
                      unsigned int guid);
    /// The scopes the index names for any of `guids`, possibly more than once.
    std::vector<Scope*> IndexedScopes(const std::vector<unsigned int>& guids);

    TRecursiveMutex m_mutex{0};
    /// The scopes that have a handler and are not yet dirty, by address.
    std::unordered_set<std::shared_ptr<Scope>> m_scopes VEL_GUARDED_BY(m_mutex);
    /// guid -> the registered scopes that recorded it. The scopes named are alive while m_mutex
    /// is held in either mode (m_scopes owns them).
    TMutex m_indexMutex VEL_ACQUIRED_AFTER(m_mutex);
    Index m_index VEL_GUARDED_BY(m_indexMutex);
};

/// Makes a scope for a new query job and makes it the calling thread's current scope (the one it
/// replaces is released). Returns an empty pointer, changing nothing, while SyncCaches is off.
/// REQUIRES: a thread context is bound to the calling thread.
VELCACHE_EXPORT std::shared_ptr<IInvalidatorAggregatorScope>
CascadeInvalidatorAggregator_CreateQueryJobScope();

}  // namespace velmora::caching
