#include <algorithm>
#include <typeinfo>
#include <utility>

#include "caching/CascadeInvalidator.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/SynchronizationLogLevel.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velcore/ThreadContext.h"
#include "velsys/InitOnce.h"

namespace velmora::caching {

namespace {

// A pointer argument of a log line, turned into text only when the line is written.
struct PointerArg {
    const void* p;
};
PointerArg Ptr(const void* p) {
    return PointerArg{p};
}

TString LogArg(PointerArg pointer) {
    return TString::pointer(pointer.p);
}
template <class T>
const T& LogArg(const T& value) {
    return value;
}

// Writes one line at the cache-synchronization severity. Nothing is formatted unless the sink
// takes the line: per-guid lines sit on the path of every entry use and every dirty report.
template <class... Args>
void LogSync(const char* pattern, const Args&... args) {
    const int severity = SynchronizationLogLevel();
    if (!TLog::LoggerAcceptsSeverity(severity)) return;
    TLog::LogMessage(severity, TFormatString(TString(pattern), LogArg(args)...));
}

// Whether the lines of LogSync are written: a test on every entry use.
bool SyncLinesWritten() {
    return TLog::LoggerAcceptsSeverity(SynchronizationLogLevel());
}

// The scope as the aggregator's own class, or null. The exact class is recognised by its type
// alone; anything else (a class derived from Scope included) goes through dynamic_cast.
[[gnu::always_inline]] inline CascadeInvalidatorAggregator::Scope* AsScope(
    IInvalidatorAggregatorScope* scope) {
    // The same type_info object is the same class; a copy of it in another module compares
    // equal by name.
    const std::type_info& type = typeid(*scope);
    if (&type == &typeid(CascadeInvalidatorAggregator::Scope) ||
        type == typeid(CascadeInvalidatorAggregator::Scope))
        return static_cast<CascadeInvalidatorAggregator::Scope*>(scope);
    return dynamic_cast<CascadeInvalidatorAggregator::Scope*>(scope);
}

IThreadContext* CurrentThreadContext() {
    IThreadContext* threadContext = VelmoraTls::GetThreadContext();
    VEL_ASSERT(threadContext);
    return threadContext;
}

}  // namespace

virtual_enable_shared_from_this_base::~virtual_enable_shared_from_this_base() = default;

void ICascadeInvalidator::OnResultUsed(const std::shared_ptr<IInvalidatorAggregatorScope>&) {}

IScopeDirtyHandler::~IScopeDirtyHandler() = default;

// ---- Scope ----

CascadeInvalidatorAggregator::Scope::Scope(CascadeInvalidatorAggregator* aggregator)
    : m_aggregator(aggregator) {
    m_initialSlots[0].store(kInitialSlots - 1, std::memory_order_relaxed);
}

CascadeInvalidatorAggregator::Scope::~Scope() {
    try {
        LogSync("CascadeInvalidatorAggregator ~Scope this=%1", Ptr(this));
    } catch (...) {
        try {
            TLog::LogCurrentException(TLog::Warn,
                                      TString("Exception caught while logging in destructor."));
        } catch (...) {
            // A destructor never throws; with the log itself failing there is nowhere to report.
        }
    }
}

void CascadeInvalidatorAggregator::Scope::EndScope() {
    LogSync("CascadeInvalidatorAggregator::Scope EndScope this=%1", Ptr(this));
    VEL_ASSERT(!m_endedScope);
    m_endedScope = true;
}

void CascadeInvalidatorAggregator::Scope::OnResultUsed() {
    LogSync("CascadeInvalidatorAggregator::Scope OnResultUsed this=%1", Ptr(this));
    const std::shared_ptr<IInvalidatorAggregatorScope> self =
        SharedFromThisAs<IInvalidatorAggregatorScope>();
    for (ICascadeInvalidator* invalidator :
         CascadeInvalidatorHolderFactory::GetInstance().GetInvalidators()) {
        if (invalidator) invalidator->OnResultUsed(self);
    }
}

void CascadeInvalidatorAggregator::Scope::AddHandler(
    const std::shared_ptr<IScopeDirtyHandler>& handler) {
    VEL_ASSERT(handler);
    bool toRegister = false;
    if (!m_dirty) {
        TExclusiveLockGuard lock(m_mutex);
        // Tested again under the lock: OnDirty turns the scope dirty and takes the handlers out
        // under this lock, so the handler is either taken out by it or told below.
        if (!m_dirty) {
            m_handlers.insert(handler);
            toRegister = true;
        }
    }
    if (toRegister) {
        LogSync("CascadeInvalidatorAggregator::Scope AddHandler inserted handler=%1",
                Ptr(handler.get()));
        // The scope's lock is released: the aggregator's lock comes first.
        m_aggregator->OnScopeHasHandler(SharedFromThisAs<Scope>());
        return;
    }
    NotifyHandler(handler);
}

bool CascadeInvalidatorAggregator::Scope::IsDirty() const {
    return m_dirty.load();
}

bool CascadeInvalidatorAggregator::Scope::IsEnded() const {
    return m_endedScope.load();
}

// Inline: the fast path of every entry use.
inline void CascadeInvalidatorAggregator::Scope::RecordGuid(unsigned int guid) {
    if (m_endedScope.load(std::memory_order_relaxed)) return;
    // Seen here means recorded (and indexed): a job uses the same entries again and again.
    const std::atomic<unsigned int>* slots = m_slots.load(std::memory_order_acquire);
    if (guid != 0 && slots[1 + (guid & slots[0].load(std::memory_order_relaxed))].load(
                         std::memory_order_relaxed) == guid)
        return;
    RecordNewGuid(guid);
}

// Out of line, so that the fast path above stays small.
[[gnu::noinline]] void CascadeInvalidatorAggregator::Scope::RecordNewGuid(unsigned int guid) {
    TExclusiveLockGuard lock(m_mutex);
    if (m_guids.insert(guid).second) {
        if (m_registered) m_aggregator->IndexGuid(guid, this);
        const unsigned int size = m_slots.load(std::memory_order_relaxed)[0] + 1;
        if (m_guids.size() > size && size < kMaxSlots) {
            ReplaceSlots(2 * size);
            return;
        }
    }
    RememberGuid(guid);
}

void CascadeInvalidatorAggregator::Scope::RememberGuid(unsigned int guid) {
    VEL_ASSERT_HELD(m_mutex);
    std::atomic<unsigned int>* slots = m_slots.load(std::memory_order_relaxed);
    slots[1 + (guid & slots[0].load(std::memory_order_relaxed))].store(guid,
                                                                       std::memory_order_relaxed);
}

void CascadeInvalidatorAggregator::Scope::ReplaceSlots(unsigned int size) {
    VEL_ASSERT_HELD(m_mutex);
    auto slots = std::make_unique<std::atomic<unsigned int>[]>(size + 1);
    slots[0].store(size - 1, std::memory_order_relaxed);
    for (unsigned int guid : m_guids)
        slots[1 + (guid & (size - 1))].store(guid, std::memory_order_relaxed);
    m_slots.store(slots.get(), std::memory_order_release);
    m_grownSlots.push_back(std::move(slots));
}

void CascadeInvalidatorAggregator::Scope::EraseGuids(const std::vector<unsigned int>& guids) {
    VEL_ASSERT(!guids.empty());
    TExclusiveLockGuard lock(m_mutex);
    std::atomic<unsigned int>* slots = m_slots.load(std::memory_order_relaxed);
    const unsigned int mask = slots[0].load(std::memory_order_relaxed);
    for (unsigned int guid : guids) {
        if (m_guids.erase(guid) == 0) continue;
        if (m_registered) m_aggregator->UnindexGuid(guid, this);
        std::atomic<unsigned int>& slot = slots[1 + (guid & mask)];
        if (slot.load(std::memory_order_relaxed) == guid) slot.store(0, std::memory_order_relaxed);
    }
}

bool CascadeInvalidatorAggregator::Scope::TryMakeDirty(
    const std::vector<unsigned int>& guids,
    std::unordered_set<std::shared_ptr<IScopeDirtyHandler>>& handlers) {
    VEL_ASSERT_HELD(m_aggregator->m_mutex);
    {
        TExclusiveLockGuard lock(m_mutex);
        if (m_dirty) return false;
        bool used = false;
        for (unsigned int guid : guids) {
            if (m_guids.count(guid)) {
                used = true;
                break;
            }
        }
        if (!used) return false;
        m_dirty = true;
        SetRegistered(false);  // the aggregator drops the scope
        m_guids.clear();
        std::atomic<unsigned int>* slots = m_slots.load(std::memory_order_relaxed);
        const unsigned int size = slots[0].load(std::memory_order_relaxed) + 1;
        for (unsigned int i = 1; i <= size; ++i) slots[i].store(0, std::memory_order_relaxed);
        handlers = std::move(m_handlers);
        m_handlers.clear();  // a moved-from set is valid but unspecified
    }
    LogSync("CascadeInvalidatorAggregator::Scope this=%1 is now dirty", Ptr(this));
    return true;
}

void CascadeInvalidatorAggregator::Scope::SetRegistered(bool registered) {
    // No debug check of the aggregator's hold here: a scope that turns dirty drops itself with
    // only its own lock held (the index has a lock of its own).
    TExclusiveLockGuard lock(m_mutex);
    if (m_registered == registered) return;
    m_registered = registered;
    TMutexLock indexLock(m_aggregator->m_indexMutex);
    for (unsigned int guid : m_guids) {
        if (registered) {
            m_aggregator->m_index[guid].push_back(this);
            continue;
        }
        auto it = m_aggregator->m_index.find(guid);
        if (it == m_aggregator->m_index.end()) continue;
        std::vector<Scope*>& scopes = it->second;
        scopes.erase(std::remove(scopes.begin(), scopes.end(), this), scopes.end());
        if (scopes.empty()) m_aggregator->m_index.erase(it);
    }
}

void CascadeInvalidatorAggregator::Scope::Unregister(
    std::unordered_set<std::shared_ptr<IScopeDirtyHandler>>& handlers) {
    SetRegistered(false);
    TExclusiveLockGuard lock(m_mutex);
    handlers = std::move(m_handlers);
    m_handlers.clear();  // a moved-from set is valid but unspecified
}

void CascadeInvalidatorAggregator::Scope::NotifyHandler(
    const std::shared_ptr<IScopeDirtyHandler>& handler) {
    LogSync("CascadeInvalidatorAggregator::Scope notify dirty to handler=%1", Ptr(handler.get()));
    handler->OnScopeDirty(SharedFromThisAs<IInvalidatorAggregatorScope>());
}

// ---- Aggregator ----

CascadeInvalidatorAggregator::CascadeInvalidatorAggregator() = default;
CascadeInvalidatorAggregator::~CascadeInvalidatorAggregator() = default;

CascadeInvalidatorAggregator* CascadeInvalidatorAggregator::TryGetSingleton() {
    if (!velmora::appoptions::SyncCaches()) return nullptr;
    // Never freed: the aggregator lives until the process ends.
    static InitOnce* s_once = new InitOnce();
    return s_once
        ->GetShared<CascadeInvalidatorAggregator>([] { return new CascadeInvalidatorAggregator(); })
        .get();
}

void CascadeInvalidatorAggregator::OnEntryUsed(unsigned int guid, const ICoherentCache*) {
    // Read in place: only this thread replaces its context's scope.
    const std::shared_ptr<IInvalidatorAggregatorScope>& current =
        CurrentThreadContext()->GetQueryCacheContext().m_invalidatorScope;
    if (!current) return;
    Scope* scope = AsScope(current.get());
    VEL_ASSERT(scope);
    if (SyncLinesWritten()) {
        LogEntryUsed(current, guid);
        return;
    }
    scope->RecordGuid(guid);
}

// Out of line, so that OnEntryUsed stays small.
[[gnu::noinline]] void CascadeInvalidatorAggregator::LogEntryUsed(
    const std::shared_ptr<IInvalidatorAggregatorScope>& current, unsigned int guid) {
    // A copy keeps the scope alive while the line is written, since a log sink may start a new
    // query job on this thread.
    const std::shared_ptr<IInvalidatorAggregatorScope> keep = current;
    Scope* recording = AsScope(keep.get());
    LogSync("CascadeInvalidatorAggregator OnEntryUsed scope=%1 guid=%2", Ptr(recording), guid);
    recording->RecordGuid(guid);
}

void CascadeInvalidatorAggregator::OnEvicted(const std::vector<unsigned int>& guids,
                                             const ICoherentCache*) {
    if (guids.empty()) return;
    for (unsigned int guid : guids) LogSync("CascadeInvalidatorAggregator OnEvicted guid=%1", guid);
    TSharedLockGuard lock(m_mutex);
    // Only the scopes that recorded one of the guids have anything to forget.
    for (Scope* scope : IndexedScopes(guids)) scope->EraseGuids(guids);
}

void CascadeInvalidatorAggregator::OnDirty(const std::vector<unsigned int>& guids,
                                           const ICoherentCache*) {
    VEL_ASSERT(!guids.empty());
    for (unsigned int guid : guids) LogSync("CascadeInvalidatorAggregator OnDirty guid=%1", guid);

    using Handlers = std::unordered_set<std::shared_ptr<IScopeDirtyHandler>>;
    std::vector<std::pair<std::shared_ptr<Scope>, Handlers>> dirtyScopes;
    size_t remaining = 0;
    {
        TExclusiveLockGuard lock(m_mutex);
        // Only the scopes that recorded one of the guids can turn dirty; the index names them
        // (a scope named twice turns dirty once: TryMakeDirty refuses a dirty scope).
        const std::vector<Scope*> candidates = IndexedScopes(guids);
        dirtyScopes.reserve(candidates.size());
        for (Scope* candidate : candidates) {
            Handlers handlers;
            candidate->AssertAggregatorLockHeld();
            if (!candidate->TryMakeDirty(guids, handlers)) continue;
            // A key without ownership finds the owning pointer (the set hashes by address).
            auto it = m_scopes.find(std::shared_ptr<Scope>(std::shared_ptr<Scope>(), candidate));
            VEL_ASSERT(it != m_scopes.end());
            dirtyScopes.emplace_back(*it, std::move(handlers));
            m_scopes.erase(it);
        }
        remaining = m_scopes.size();
    }

    // No lock held: a handler may create scopes, add handlers and report dirty entries itself.
    // Each handler was moved out of its scope under the scope's lock, so no other call can reach
    // it again for this scope.
    for (const auto& [scope, handlers] : dirtyScopes) {
        for (const std::shared_ptr<IScopeDirtyHandler>& handler : handlers)
            scope->NotifyHandler(handler);
    }
    LogSync("CascadeInvalidatorAggregator OnDirty scopes erased=%1 remaining=%2",
            dirtyScopes.size(), remaining);
}

void CascadeInvalidatorAggregator::OnScopeHasHandler(const std::shared_ptr<Scope>& scope) {
    size_t numScopes = 0;
    {
        TExclusiveLockGuard lock(m_mutex);
        // A scope that turned dirty after its handler went in (a concurrent OnDirty saw it
        // registered by an earlier handler and took this one out too) is not tracked again:
        // m_scopes holds clean scopes only. m_dirty changes under this lock, so the test holds.
        if (!scope->IsDirty() && m_scopes.insert(scope).second) {
            scope->AssertAggregatorLockHeld();
            scope->SetRegistered(true);
        }
        numScopes = m_scopes.size();
    }
    LogSync("CascadeInvalidatorAggregator OnScopeHasHandler inserted Scope=%1 numScopes=%2",
            Ptr(scope.get()), numScopes);
}

void CascadeInvalidatorAggregator::DropScope(
    const std::shared_ptr<IInvalidatorAggregatorScope>& scope) {
    Scope* const own = scope ? AsScope(scope.get()) : nullptr;
    if (!own) return;
    CascadeInvalidatorAggregator& aggregator = *own->m_aggregator;
    // Released after the locks: the last owner of a handler or of the scope may run anything.
    std::unordered_set<std::shared_ptr<IScopeDirtyHandler>> handlers;
    std::shared_ptr<Scope> dropped;
    size_t numScopes = 0;
    {
        TExclusiveLockGuard lock(aggregator.m_mutex);
        auto& scopes = aggregator.m_scopes;
        const auto it = scopes.find(std::shared_ptr<Scope>(std::shared_ptr<Scope>(), own));
        if (it == scopes.end()) return;  // dirty, never registered, or dropped already
        own->AssertAggregatorLockHeld();
        own->Unregister(handlers);
        dropped = *it;
        scopes.erase(it);
        numScopes = scopes.size();
    }
    LogSync("CascadeInvalidatorAggregator DropScope Scope=%1 numScopes=%2", Ptr(own), numScopes);
}

// Not checked by the lock analysis: the test hook takes no lock by design (single-threaded
// set-up only).
void CascadeInvalidatorAggregator::ResetForTest() VEL_NO_THREAD_SAFETY_ANALYSIS {
    VEL_ASSERT(AppConfig::GetInstance().GetUnitTestFlag());
    for (const std::shared_ptr<Scope>& scope : m_scopes) scope->SetRegistered(false);
    m_scopes.clear();
}

size_t CascadeInvalidatorAggregator::GetScopeCount() {
    TSharedLockGuard lock(m_mutex);
    return m_scopes.size();
}

TString CascadeInvalidatorAggregator::CheckIndexForTest() {
    VEL_ASSERT(AppConfig::GetInstance().GetUnitTestFlag());
    TExclusiveLockGuard lock(m_mutex);
    size_t pairs = 0;
    for (const std::shared_ptr<Scope>& scope : m_scopes) {
        TExclusiveLockGuard scopeLock(scope->m_mutex);
        if (!scope->m_registered)
            return TFormatString("scope %1 is not registered", TString::pointer(scope.get()));
        TMutexLock indexLock(m_indexMutex);
        for (unsigned int guid : scope->m_guids) {
            auto it = m_index.find(guid);
            if (it == m_index.end() ||
                std::count(it->second.begin(), it->second.end(), scope.get()) != 1)
                return TFormatString("guid %1 of scope %2 is not indexed once", guid,
                                     TString::pointer(scope.get()));
        }
        pairs += scope->m_guids.size();
    }
    TMutexLock indexLock(m_indexMutex);
    size_t indexed = 0;
    for (const auto& entry : m_index) indexed += entry.second.size();
    if (indexed != pairs)
        return TFormatString("the index holds %1 pairs, the scopes %2", indexed, pairs);
    return TString();
}

void CascadeInvalidatorAggregator::IndexGuid(unsigned int guid, Scope* scope) {
    TMutexLock lock(m_indexMutex);
    m_index[guid].push_back(scope);
}

void CascadeInvalidatorAggregator::UnindexGuid(unsigned int guid, Scope* scope) {
    TMutexLock lock(m_indexMutex);
    auto it = m_index.find(guid);
    if (it == m_index.end()) return;
    std::vector<Scope*>& scopes = it->second;
    scopes.erase(std::remove(scopes.begin(), scopes.end(), scope), scopes.end());
    if (scopes.empty()) m_index.erase(it);
}

std::vector<CascadeInvalidatorAggregator::Scope*> CascadeInvalidatorAggregator::IndexedScopes(
    const std::vector<unsigned int>& guids) {
    std::vector<Scope*> scopes;
    TMutexLock lock(m_indexMutex);
    for (unsigned int guid : guids) {
        auto it = m_index.find(guid);
        if (it != m_index.end()) scopes.insert(scopes.end(), it->second.begin(), it->second.end());
    }
    return scopes;
}

std::shared_ptr<IInvalidatorAggregatorScope> CascadeInvalidatorAggregator_CreateQueryJobScope() {
    CascadeInvalidatorAggregator* aggregator = CascadeInvalidatorAggregator::TryGetSingleton();
    if (!aggregator) return {};
    auto scope = std::make_shared<CascadeInvalidatorAggregator::Scope>(aggregator);
    CurrentThreadContext()->GetQueryCacheContext().m_invalidatorScope = scope;
    LogSync("CascadeInvalidatorAggregator CreateQueryJobScope Scope=%1", Ptr(scope.get()));
    return scope;
}

}  // namespace velmora::caching
