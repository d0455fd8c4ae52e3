#include <utility>

#include "caching/CascadeInvalidator.h"
#include "caching/CascadeInvalidatorHolder.h"
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
    const int severity = GetCacheSynchronizationLogLevel();
    if (!TLog::LoggerAcceptsSeverity(severity)) return;
    TLog::LogMessage(severity, TFormatString(TString(pattern), LogArg(args)...));
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
    : m_aggregator(aggregator) {}

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

void CascadeInvalidatorAggregator::Scope::RecordGuid(unsigned int guid) {
    if (m_endedScope) return;
    TExclusiveLockGuard lock(m_mutex);
    m_guids.insert(guid);
}

void CascadeInvalidatorAggregator::Scope::EraseGuids(const std::vector<unsigned int>& guids) {
    VEL_ASSERT(!guids.empty());
    TExclusiveLockGuard lock(m_mutex);
    for (unsigned int guid : guids) m_guids.erase(guid);
}

bool CascadeInvalidatorAggregator::Scope::TryMakeDirty(
    const std::vector<unsigned int>& guids,
    std::unordered_set<std::shared_ptr<IScopeDirtyHandler>>& handlers) {
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
        m_guids.clear();
        handlers = std::move(m_handlers);
        m_handlers.clear();  // a moved-from set is valid but unspecified
    }
    LogSync("CascadeInvalidatorAggregator::Scope this=%1 is now dirty", Ptr(this));
    return true;
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
    // A copy: the context's scope may be replaced (and released) while the guid is recorded.
    const QueryCacheContext context = CurrentThreadContext()->GetQueryCacheContext();
    if (!context.m_invalidatorScope) return;
    Scope* scope = dynamic_cast<Scope*>(context.m_invalidatorScope.get());
    VEL_ASSERT(scope);
    LogSync("CascadeInvalidatorAggregator OnEntryUsed scope=%1 guid=%2", Ptr(scope), guid);
    scope->RecordGuid(guid);
}

void CascadeInvalidatorAggregator::OnEvicted(const std::vector<unsigned int>& guids,
                                             const ICoherentCache*) {
    if (guids.empty()) return;
    for (unsigned int guid : guids) LogSync("CascadeInvalidatorAggregator OnEvicted guid=%1", guid);
    TSharedLockGuard lock(m_mutex);
    for (const std::shared_ptr<Scope>& scope : m_scopes) scope->EraseGuids(guids);
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
        dirtyScopes.reserve(m_scopes.size());
        for (auto it = m_scopes.begin(); it != m_scopes.end();) {
            Handlers handlers;
            if ((*it)->TryMakeDirty(guids, handlers)) {
                dirtyScopes.emplace_back(*it, std::move(handlers));
                it = m_scopes.erase(it);
            } else {
                ++it;
            }
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
        if (!scope->IsDirty()) m_scopes.insert(scope);
        numScopes = m_scopes.size();
    }
    LogSync("CascadeInvalidatorAggregator OnScopeHasHandler inserted Scope=%1 numScopes=%2",
            Ptr(scope.get()), numScopes);
}

void CascadeInvalidatorAggregator::ResetForTest() {
    VEL_ASSERT(AppConfig::GetInstance().GetUnitTestFlag());
    m_scopes.clear();
}

size_t CascadeInvalidatorAggregator::GetScopeCount() {
    TSharedLockGuard lock(m_mutex);
    return m_scopes.size();
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
