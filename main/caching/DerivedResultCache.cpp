#include "caching/DerivedResultCache.h"

#include <optional>

#include "caching/CascadeInvalidator.h"
#include "caching/DerivedResultImpl.h"
#include "caching/SilenceWatch.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velcore/ThreadContext.h"
#include "velsys/Exceptions.h"

namespace velmora::caching {

void DerivedResultCore::Handler::OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>&) {
    if (auto owner = m_owner.lock()) owner->m_impl->OnScopeDirty(*this);
}

namespace {

// Installs a usage recorder for one computation and takes it out again.
class UsageRecording {
public:
    UsageRecording() : m_previous(SetReadThroughUsageRecorder(&m_usage)) {
        if (m_previous) {
            SetReadThroughUsageRecorder(m_previous);
            VEL_ASSERT_MSG(false, "!nested");
        }
    }
    ~UsageRecording() { SetReadThroughUsageRecorder(m_previous); }
    UsageRecording(const UsageRecording&) = delete;
    UsageRecording& operator=(const UsageRecording&) = delete;
    const ReadThroughUsage& Usage() const { return m_usage; }

private:
    ReadThroughUsage m_usage;
    ReadThroughUsage* m_previous;
};

// Whether every part is still held in its memory cache; their guids go to `guids`.
bool AllPartsHeld(const ReadThroughUsage& usage, std::vector<unsigned int>& guids) {
    if (usage.uncachedPart) return false;
    for (const ReadThroughUsage::Part& part : usage.parts) {
        const auto memory = part.memory.lock();
        if (!memory || !memory->TryGetEntry(part.guid)) return false;
        guids.push_back(part.guid);
    }
    return true;
}

}  // namespace

std::shared_ptr<DerivedResultCore> DerivedResultCore::Create(std::shared_ptr<RedisPubsub> service,
                                                             std::size_t maxResults) {
    std::shared_ptr<DerivedResultCore> core(new DerivedResultCore(std::move(service), maxResults));
    core->m_impl->Listen(core);
    return core;
}

DerivedResultCore::DerivedResultCore(std::shared_ptr<RedisPubsub> service, std::size_t maxResults)
    : m_impl(std::make_unique<Impl>(std::move(service), maxResults)) {}

DerivedResultCore::~DerivedResultCore() = default;

DerivedResultCore::Result DerivedResultCore::Get(const std::string& key,
                                                 const std::function<AnyValue()>& compute) {
    return m_impl->Get(weak_from_this(), key, compute);
}

void DerivedResultCore::Drop(const std::string& key) {
    m_impl->Drop(key);
}

std::vector<std::pair<std::string, DerivedResultCore::AnyValue>> DerivedResultCore::HeldValues()
    const {
    return m_impl->HeldValues();
}

DerivedResultCounters DerivedResultCore::GetCounters() const {
    return m_impl->GetCounters();
}

DerivedResultCore::Impl::Impl(std::shared_ptr<RedisPubsub> service, std::size_t maxResults)
    : m_service(std::move(service)), m_maxResults(maxResults) {}

void DerivedResultCore::Impl::Listen(const std::weak_ptr<DerivedResultCore>& owner) {
    if (!m_service) return;
    m_listener = m_service->AddPruneListener(
        [owner](const std::vector<unsigned int>& guids, const ICoherentCache*) {
            if (auto core = owner.lock()) core->m_impl->OnPruned(guids);
        });
}

DerivedResultCore::Impl::~Impl() {
    if (m_service) m_service->RemovePruneListener(m_listener);
    std::vector<ScopePtr> released;
    {
        TMutexLock lock(m_mutex);
        for (auto& [key, kept] : m_results) released.push_back(std::move(kept.scope));
    }
    Release(released);
}

void DerivedResultCore::Impl::Release(std::vector<ScopePtr>& scopes) {
    for (const ScopePtr& scope : scopes) CascadeInvalidatorAggregator::DropScope(scope);
    scopes.clear();
}

DerivedResultCore::Result DerivedResultCore::Impl::Get(
    const std::weak_ptr<DerivedResultCore>& owner, const std::string& key,
    const std::function<AnyValue()>& compute) {
    // While the service hears nothing, a part may have changed unheard: computed anew.
    if (!m_service || m_service->Hears()) {
        TMutexLock lock(m_mutex);
        const auto it = m_results.find(key);
        if (it != m_results.end()) {
            ++m_held;
            return {it->second.value, true, false};
        }
    }
    // The third computation of a silence starts with the service deaf already and heard of
    // nothing since: its parts are all loaded or held since the silence began. Only a service
    // that keeps coming and going between computations would make it the last resort.
    constexpr int kMaxSilenceRecomputes = 2;
    for (int recomputes = 0;; ++recomputes) {
        const SilenceWatch silence(m_service.get());
        Result result = Compute(owner, key, compute);
        if (!silence.SilenceBegan()) return result;
        // Not kept either: after a silence too short to be treated as a gap, nothing would drop
        // it.
        if (result.kept) {
            Drop(key);
            result.kept = false;
        }
        if (recomputes == kMaxSilenceRecomputes) return result;
        ++m_silenceRecomputes;
    }
}

DerivedResultCore::Result DerivedResultCore::Impl::Compute(
    const std::weak_ptr<DerivedResultCore>& owner, const std::string& key,
    const std::function<AnyValue()>& compute) {
    std::optional<ScopedThreadContext> context;
    if (!VelmoraTls::GetThreadContext()) context.emplace();
    UsageRecording recording;
    const std::shared_ptr<IInvalidatorAggregatorScope> scope =
        CascadeInvalidatorAggregator_CreateQueryJobScope();
    std::shared_ptr<Handler> handler;
    if (scope) {
        {
            TMutexLock lock(m_mutex);
            handler = std::make_shared<Handler>(owner, key, ++m_nextToken);
        }
        // Before any part is used: no change can slip in between a use and the handler.
        scope->AddHandler(handler);
    }
    AnyValue value;
    try {
        value = compute();
    } catch (...) {
        if (scope) scope->EndScope();
        throw;
    }
    if (scope) scope->EndScope();
    VEL_ASSERT(value);
    std::vector<unsigned int> guids;
    // A scope whose result is not kept (or that a kept result replaces) is dropped: nothing
    // would ever let the aggregator forget it otherwise.
    std::vector<ScopePtr> released;
    const bool kept = handler && AllPartsHeld(recording.Usage(), guids) &&
                      Keep(handler, value, std::move(guids), scope, released);
    if (!kept && scope) released.push_back(scope);
    Release(released);
    ++(kept ? m_built : m_notKept);
    return {std::move(value), false, kept};
}

bool DerivedResultCore::Impl::Keep(const std::shared_ptr<Handler>& handler, AnyValue value,
                                   std::vector<unsigned int> guids, ScopePtr scope,
                                   std::vector<ScopePtr>& released) {
    TMutexLock lock(m_mutex);
    if (handler->m_fired) return false;
    const auto old = m_results.find(handler->m_key);
    if (old != m_results.end()) released.push_back(EraseLocked(old));
    for (unsigned int guid : guids) m_byGuid.emplace(guid, handler->m_key);
    m_results[handler->m_key] = {std::move(value), handler->m_token, std::move(guids),
                                 std::move(scope)};
    m_byToken.emplace(handler->m_token, handler->m_key);
    // Past the bound the oldest other result goes: the one just kept started after most, and a
    // Get that reports it kept must find it so.
    while (m_maxResults != 0 && m_results.size() > m_maxResults) {
        auto oldest = m_byToken.begin();
        if (oldest->first == handler->m_token) ++oldest;
        released.push_back(EraseLocked(m_results.find(oldest->second)));
        ++m_droppedOverBound;
    }
    return true;
}

DerivedResultCore::Impl::ScopePtr DerivedResultCore::Impl::EraseLocked(
    std::map<std::string, Kept>::iterator it) {
    for (unsigned int guid : it->second.guids) {
        auto [first, last] = m_byGuid.equal_range(guid);
        while (first != last) first = first->second == it->first ? m_byGuid.erase(first) : ++first;
    }
    m_byToken.erase(it->second.token);
    ScopePtr scope = std::move(it->second.scope);
    m_results.erase(it);
    return scope;
}

void DerivedResultCore::Impl::OnScopeDirty(Handler& handler) {
    TMutexLock lock(m_mutex);
    handler.m_fired = true;
    const auto it = m_results.find(handler.m_key);
    if (it != m_results.end() && it->second.token == handler.m_token) {
        EraseLocked(it);  // its scope is dirty: the aggregator has dropped it already
        ++m_droppedDirty;
    }
}

void DerivedResultCore::Impl::OnPruned(const std::vector<unsigned int>& guids) {
    std::vector<ScopePtr> released;
    {
        TMutexLock lock(m_mutex);
        for (unsigned int guid : guids) {
            std::vector<std::string> keys;
            auto [first, last] = m_byGuid.equal_range(guid);
            for (; first != last; ++first) keys.push_back(first->second);
            for (const std::string& key : keys) {
                const auto it = m_results.find(key);
                if (it == m_results.end()) continue;
                released.push_back(EraseLocked(it));
                ++m_droppedOnPrune;
            }
        }
    }
    // Under the coherence service's lock, which comes before the aggregator's.
    Release(released);
}

void DerivedResultCore::Impl::Drop(const std::string& key) {
    std::vector<ScopePtr> released;
    {
        TMutexLock lock(m_mutex);
        const auto it = m_results.find(key);
        if (it != m_results.end()) released.push_back(EraseLocked(it));
    }
    Release(released);
}

std::vector<std::pair<std::string, DerivedResultCore::AnyValue>>
DerivedResultCore::Impl::HeldValues() const {
    TMutexLock lock(m_mutex);
    std::vector<std::pair<std::string, AnyValue>> held;
    for (const auto& [key, kept] : m_results) held.emplace_back(key, kept.value);
    return held;
}

DerivedResultCounters DerivedResultCore::Impl::GetCounters() const {
    return {m_held.load(),
            m_built.load(),
            m_notKept.load(),
            m_droppedDirty.load(),
            m_droppedOnPrune.load(),
            m_droppedOverBound.load(),
            m_silenceRecomputes.load()};
}

}  // namespace velmora::caching
