// The coherence service: construction, subscription and the three tracking operations.
#include "caching/RedisPubsub.h"

#include <map>

#include "caching/CascadeInvalidatorHolder.h"
#include "caching/RedisPubsubImpl.h"
#include "caching/RedisPubsubState.h"
#include "metrics2/Metrics.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velcore/VelmoraCounters.h"
#include "velcoredata/DateTime.h"
#include "velcoreplatform/TElapsedTimer.h"
#include "velredis/RedisProbe.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/AsyncTask.h"
#include "velsys/Exceptions.h"
#include "velsys/InitOnce.h"
#include "velsys/SteadyClock.h"

namespace velmora::caching {

namespace {

// The log-detail category of the service's switchable lines.
constexpr int kCacheSynchronizationLogCategory = 52;
// Bit mask of the service's metrics scopes.
constexpr std::uint64_t kScopeBits = 0x20001;

// Takes the lock and reports how long that took; releases it on destruction.
class VEL_SCOPED_CAPABILITY TimedLockHold {
public:
    TimedLockHold(TReadWriteLock& lock, unsigned long long& lockMs) VEL_ACQUIRE(lock)
        : m_lock(lock) {
        TElapsedTimer timer;
        m_lock.Lock();
        lockMs = timer.ElapsedMs();
    }
    ~TimedLockHold() VEL_RELEASE() { m_lock.Unlock(); }
    TimedLockHold(const TimedLockHold&) = delete;
    TimedLockHold& operator=(const TimedLockHold&) = delete;

private:
    TReadWriteLock& m_lock;
};

}  // namespace

// ---- RedisPubsub ----

RedisPubsub::RedisPubsub(const TString& ns)
    : m_impl(std::make_unique<Impl>(ns, RedisSubscriptionManager::GetInstance(),
                                    appoptions::CacheSynchronizationMaxDeafMs())) {}

RedisPubsub::RedisPubsub(const TString& ns, RedisSubscriptionManager& manager)
    : m_impl(std::make_unique<Impl>(ns, manager, appoptions::CacheSynchronizationMaxDeafMs())) {}

RedisPubsub::RedisPubsub(const TString& ns, RedisSubscriptionManager& manager, int maxDeafMs,
                         bool waitForConfirmation)
    : m_impl(std::make_unique<Impl>(ns, manager, maxDeafMs, waitForConfirmation)) {}

RedisPubsub::RedisPubsub(const TString& ns, IRedisSubscriptionManager& manager,
                         PublishFunction publish)
    : m_impl(std::make_unique<Impl>(ns, manager, std::move(publish))) {}

RedisPubsub::~RedisPubsub() = default;

namespace {

// Why the Redis server of `config` cannot serve a service of namespace `ns`, in the operator
// tool's words; "" when it answers.
std::string UnreachableMessage(const TString& ns,
                               const RedisEndpointConfig& config = GetRedisConfiguration()) {
    const std::string cause = ProbeRedis(config);
    if (cause.empty()) return "";
    return "Coherence service \"" + ns.toStdString() + "\": cannot reach Redis at " +
           DescribeRedisEndpoint(config) + ": " + cause;
}

// What a service made while its server cannot be reached does meanwhile.
constexpr const char* kStartingDegraded =
    "; starting degraded (read-through caches load from the source until it answers)";

}  // namespace

std::weak_ptr<RedisPubsub> RedisPubsub::GetInstance() {
    // The manager first, so that it exists (and outlives the service) before the service.
    RedisSubscriptionManager::GetInstance();
    // Never freed: the service lives until the process ends.
    static InitOnce* s_once = new InitOnce();
    return s_once->GetShared<RedisPubsub>([] {
        // Never raises (its callers must not): an unreachable server is said once, at Error.
        const std::string unreachable = UnreachableMessage("defaultns.");
        auto* service = new RedisPubsub("defaultns.");
        if (!unreachable.empty()) {
            TLog::LogMessage(TLog::Error, TString::fromStdString(unreachable + kStartingDegraded));
            service->m_impl->MarkUnreachableAtStart(unreachable);
        }
        return service;
    });
}

std::shared_ptr<RedisPubsub> RedisPubsub::Create(const TString& ns) {
    Settings settings;
    settings.maxDeafMs = appoptions::CacheSynchronizationMaxDeafMs();
    settings.startDegraded = appoptions::CacheSynchronizationStartDegraded();
    return Create(ns, RedisSubscriptionManager::GetInstance(), settings);
}

std::shared_ptr<RedisPubsub> RedisPubsub::Create(const TString& ns,
                                                 RedisSubscriptionManager& manager,
                                                 const Settings& settings) {
    if (ns.isEmpty()) throw VelmoraException("A coherence service needs a namespace.");
    if (manager.IsSubscribed(ns + TString("*")))
        throw VelmoraException("A coherence service of namespace \"" + ns.toStdString() +
                               "\" exists already in this process.");
    // Asked before subscribing, so that a refusal leaves nothing behind; a caller that has just
    // probed the same server passes what it found instead of waiting for a second probe.
    std::string unreachable;
    if (!settings.probed) {
        unreachable = UnreachableMessage(ns, manager.GetConfig());
    } else if (!settings.probed->empty()) {
        unreachable = "Coherence service \"" + ns.toStdString() + "\": cannot reach Redis at " +
                      DescribeRedisEndpoint(manager.GetConfig()) + ": " + *settings.probed;
    }
    if (!unreachable.empty() && !settings.startDegraded) throw VelmoraException(unreachable);
    // A server that did not answer is not waited for: the subscription is made when it does.
    std::shared_ptr<RedisPubsub> service(
        new RedisPubsub(ns, manager, settings.maxDeafMs, unreachable.empty()));
    if (!unreachable.empty()) {
        TLog::LogMessage(TLog::Error, TString::fromStdString(unreachable + kStartingDegraded));
        service->m_impl->MarkUnreachableAtStart(unreachable);
    }
    return service;
}

RedisPubsub::StopFigures RedisPubsub::Stop(std::chrono::milliseconds deadline) {
    return m_impl->Stop(deadline);
}

std::shared_ptr<RedisPubsub> RedisPubsub::CreateTestInstance(const TString& ns,
                                                             IRedisSubscriptionManager& manager,
                                                             PublishFunction publish) {
    VEL_ASSERT(AppConfig::GetInstance().GetUnitTestFlag());
    return std::shared_ptr<RedisPubsub>(new RedisPubsub(ns, manager, std::move(publish)));
}

OnAddedMetrics RedisPubsub::OnAdded(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                                    unsigned int guid, std::weak_ptr<ICoherentCache> cache) {
    return m_impl->OnAdded(keyhash, hash, timestamp, guid, std::move(cache));
}

void RedisPubsub::OnRemoved(const ICoherentCache& cache) {
    m_impl->OnRemoved(cache);
}

OnRemovedMetrics RedisPubsub::OnRemoved(const std::vector<unsigned int>& guids,
                                        std::weak_ptr<ICoherentCache> cache) {
    return m_impl->OnRemoved(guids, std::move(cache));
}

void RedisPubsub::TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries,
                                                     int evictedLifetimeSec) {
    VEL_ASSERT(AppConfig::GetInstance().GetUnitTestFlag());
    m_impl->TriggerPruneEvictedEntriesTestOnly(maxEvictedEntries, evictedLifetimeSec);
}

std::shared_ptr<RedisPubsub> RedisPubsub::CreateTestInstance(const TString& ns,
                                                             RedisSubscriptionManager& manager) {
    VEL_ASSERT(AppConfig::GetInstance().GetUnitTestFlag());
    return std::shared_ptr<RedisPubsub>(new RedisPubsub(ns, manager));
}

CoherenceHealth RedisPubsub::GetHealth() const {
    return m_impl->GetHealth();
}

OnAddedMetrics RedisPubsub::OnFilled(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                                     unsigned int guid, std::weak_ptr<ICoherentCache> cache) {
    return m_impl->OnAddedOrFilled(keyhash, hash, timestamp, guid, std::move(cache), {true, false});
}

OnAddedMetrics RedisPubsub::OnLoaded(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                                     unsigned int guid, std::weak_ptr<ICoherentCache> cache,
                                     FillMode mode) {
    return m_impl->OnAddedOrFilled(keyhash, hash, timestamp, guid, std::move(cache), mode);
}

long long RedisPubsub::FillClockNs() {
    return SteadyNowNs();
}

bool RedisPubsub::MayFill(HashPair keyhash, HashPair hash, long long loadStartNs) const {
    return m_impl->Arrivals().MayFill(keyhash, hash, loadStartNs);
}

bool RedisPubsub::MayServe(HashPair keyhash, HashPair hash, unsigned long long producedAt) const {
    return m_impl->Arrivals().MayServe(keyhash, hash, producedAt,
                                       DateTime::UtcNow().GetRepresentation());
}

RedisPubsub::ChangeHeard RedisPubsub::HeardOfChange(HashPair keyhash, HashPair answered,
                                                    HashPair reloaded, long long answerNs) const {
    const ArrivalTable::ChangeHeard found =
        m_impl->Arrivals().HeardOfChange(keyhash, answered, reloaded, answerNs);
    return {found.heardNs,  found.lostNs,   found.startNs,       found.otherNs,
            found.arrivals, found.newestNs, found.newestAnswered};
}

bool RedisPubsub::Hears() const {
    return m_impl->Hears();
}

long long RedisPubsub::LastHeardNs() const {
    return m_impl->LastHeardNs();
}

void RedisPubsub::CountSilentAnswer(SilentAnswer kind) {
    m_impl->CountSilentAnswer(kind);
}

long long RedisPubsub::SilenceBoundNs() const {
    return m_impl->SilenceBoundNs();
}

std::string RedisPubsub::Unreachable() const {
    return m_impl->Unreachable();
}

void RedisPubsub::Impl::MarkUnreachableAtStart(std::string why) {
    m_startCause = std::move(why);
    // Nothing goes out until the retry thread finds the server answering again.
    m_publishDown = true;
    m_streamDown = true;
    if (m_state) m_state->UnreachableAtStart();
}

bool RedisPubsub::Impl::KnownSilent() const {
    if (!m_redis || m_maxDeafNs <= 0) return false;
    const long long last = LastHeardNs();
    if (last == 0) return !m_startCause.empty();
    return SteadyNowNs() - last > m_maxDeafNs;
}

std::string RedisPubsub::Impl::Unreachable() const {
    if (!m_redis || m_redis->HeardLiveAtNs() != 0 || m_lastHeardNs.load() != 0) return "";
    // Found at start: probing again would only wait as long once more.
    if (!m_startCause.empty()) return m_startCause;
    const RedisEndpointConfig config = m_redis->GetConfig();
    const std::string cause = ProbeRedis(config);
    if (cause.empty()) return "";
    return "Coherence service \"" + m_namespace.toStdString() + "\": cannot reach Redis at " +
           DescribeRedisEndpoint(config) + ": " + cause;
}

long long RedisPubsub::Impl::LastHeardNs() const {
    if (!m_redis || m_maxDeafNs <= 0) return SteadyNowNs();
    // The manager forgets the moment while it is not live (0); the service keeps the last one.
    const long long heardAt = m_redis->HeardLiveAtNs();
    long long kept = m_lastHeardNs.load(std::memory_order_relaxed);
    while (heardAt > kept && !m_lastHeardNs.compare_exchange_weak(kept, heardAt)) {
    }
    return std::max(kept, heardAt);
}

bool RedisPubsub::HearsAt(long long nowNs) const {
    return m_impl->HearsAt(nowNs);
}

bool RedisPubsub::Impl::HearsAt(long long nowNs) const {
    if (!m_redis || m_maxDeafNs <= 0) return true;
    const long long heardAt = m_redis->HeardLiveAtNs();
    if (heardAt == 0) return false;
    // Kept for LastHeardNs, which the manager's reading loses while it is not live.
    long long kept = m_lastHeardNs.load(std::memory_order_relaxed);
    while (heardAt > kept && !m_lastHeardNs.compare_exchange_weak(kept, heardAt)) {
    }
    return nowNs - heardAt <= m_maxDeafNs;
}

long long RedisPubsub::ValueLifetimeSec() const {
    return static_cast<long long>(m_impl->Arrivals().HorizonTicks() /
                                  (1000ULL * DateTimeSpan::kTicksPerMillisecond));
}

std::uint64_t RedisPubsub::AddPruneListener(PruneListener listener) {
    return m_impl->AddPruneListener(std::move(listener));
}

void RedisPubsub::RemovePruneListener(std::uint64_t id) {
    m_impl->RemovePruneListener(id);
}

RedisPubsub::TrackingCounts RedisPubsub::GetTrackingCountsTestOnly() const {
    VEL_ASSERT(AppConfig::GetInstance().GetUnitTestFlag());
    return m_impl->GetTrackingCounts();
}

// ---- Impl: construction ----

void RedisSubscriptionAdapter::Subscribe(const TString& channelPattern, const Callback& callback) {
    if (m_wait) {
        m_manager.Subscribe(channelPattern, callback);
    } else {
        m_manager.Subscribe(channelPattern, callback, std::chrono::milliseconds(0));
    }
}

void RedisSubscriptionAdapter::Unsubscribe(const TString& channelPattern) {
    m_manager.Unsubscribe(channelPattern);
}

RedisPubsub::Impl::Impl(const TString& ns, IRedisSubscriptionManager& manager,
                        PublishFunction publish)
    : Impl(Unsubscribed{}, ns, &manager, std::move(publish)) {
    Subscribe();
}

RedisPubsub::Impl::Impl(const TString& ns, RedisSubscriptionManager& manager, int maxDeafMs,
                        bool waitForConfirmation)
    : Impl(Unsubscribed{}, ns, nullptr, [this](const TString& channel, const TString& message) {
          PublishOrQueue(channel, message);
      }) {
    m_adapter = std::make_unique<RedisSubscriptionAdapter>(manager, waitForConfirmation);
    m_subscriptionManager = m_adapter.get();
    m_redis = &manager;
    m_maxDeafNs = static_cast<long long>(std::max(0, maxDeafMs)) * 1000000LL;
    m_commandTimeout = manager.GetConfig().commandTimeout;
    // A quiet connection is heard from only by its heartbeat: one due later than the deaf limit
    // would make every quiet interval count as lost announcements.
    if (m_maxDeafNs > 0) manager.LimitSilence(std::chrono::milliseconds(maxDeafMs));
    m_streamOn = appoptions::CacheSynchronizationReplay();
    // The hash tag keeps the stream in one slot should the namespace ever span a cluster.
    m_streamKey = TString("{") + ns + TString("}announcements");
    m_streamCap = std::max(1, appoptions::CacheSynchronizationReplayMaxLen());
    m_followNs =
        static_cast<long long>(std::max(0, appoptions::CacheSynchronizationReplayFollowMs())) *
        1000000LL;
    m_flushOnGap = appoptions::CacheSynchronizationFlushOnGap();
    m_queueLimit =
        static_cast<std::size_t>(std::max(0, appoptions::CacheSynchronizationRetryQueue()));
    m_state = std::make_unique<CoherenceStateWatch>(
        m_namespace, manager, m_maxDeafNs, m_flushOnGap, [this] {
            return CoherenceStateWatch::OutageFigures{m_silence.loads, m_silence.holds,
                                                      m_silence.failSafe, m_silence.flushed};
        });
    const TString pattern = m_namespace + TString("*");
    // Before subscribing, so that the first confirmation already records where the stream is.
    manager.SetCatchUp(pattern, [this](bool resubscription) { return CatchUp(resubscription); });
    manager.SetSilenceHook(pattern,
                           [this](std::chrono::nanoseconds silence) { AfterSilence(silence); });
    m_retryThread = std::thread([this] { RetryLoop(); });
    Subscribe();
}

RedisPubsub::Impl::Impl(Unsubscribed, const TString& ns, IRedisSubscriptionManager* manager,
                        PublishFunction publish)
    : m_namespace(ns),
      m_publish(std::move(publish)),
      m_subscriptionManager(manager),
      m_logSeverity(GetCacheSynchronizationLogLevel()),
      m_loggingEnabled(
          TLog::LoggerAcceptsSeverity(m_logSeverity, kCacheSynchronizationLogCategory)),
      m_dryRun(appoptions::CacheSynchronizationDryRun()),
      m_async(appoptions::AsyncCacheCoherence()),
      m_skipKnownFills(appoptions::CacheSynchronizationSkipKnownFills()),
      m_minimumDeltaSeconds(appoptions::CacheSynchronizationMinimumDeltaSeconds()),
      m_evictedLifetimeSec(appoptions::CacheSynchronizationEvictedLifetimeSec()),
      m_maxEvictedEntries(std::max(0, appoptions::CacheSynchronizationMaxEvictedEntries())),
      m_arrivals(appoptions::CacheSynchronizationArrivalsKeepSec(),
                 appoptions::CacheSynchronizationArrivalsMax()) {}

void RedisPubsub::Impl::Subscribe() {
    // Last: the callback may run on the manager's thread as soon as it is registered.
    m_subscriptionManager->Subscribe(m_namespace + TString("*"),
                                     [this](const TString& channel, const void* data, int length) {
                                         Apply(channel, data, length, true);
                                     });
    VelmoraCounters::RedisPubsubWastedMessages += 2;
}

void RedisPubsub::Impl::Apply(const TString& channel, const void* data, int length, bool live,
                              bool decidesHeld) {
    if (live) ++m_counters.received;
    try {
        // The key-hash text is the first non-empty piece left when the namespace is cut out.
        for (const TString& piece : channel.split(m_namespace)) {
            if (piece.isEmpty()) continue;
            SubscribeCallback(piece, data, length, decidesHeld);
            ++m_counters.applied;
            m_counters.lastMessageNs = SteadyNowNs();
            if (!live) {
                ++m_counters.replayed;
            } else if (m_redis) {
                NoteLive(channel, data, length);
            }
            break;
        }
        // A channel that is the namespace alone names no key hash: nothing to compare.
    } catch (...) {
        ++m_counters.malformed;
        throw;
    }
}

RedisPubsub::Impl::~Impl() {
    // First: no listener runs once the owner let the service go.
    if (m_state) m_state->Stop();
    {
        TMutexLock lock(m_tasksMutex);
        m_tasksDone.wait(lock.Native(),
                         [this]() VEL_REQUIRES(m_tasksMutex) { return m_pendingTasks == 0; });
    }
    if (m_retryThread.joinable()) {
        {
            TMutexLock lock(m_durableMutex);
            m_stopRetry = true;
        }
        m_retryWake.notify_all();
        m_retryThread.join();
    }
    Unsubscribe();
}

void RedisPubsub::Impl::Unsubscribe() {
    try {
        m_subscriptionManager->Unsubscribe(m_namespace + TString("*"));
        // Unsubscribe waited for a running hook; none starts once it is removed.
        if (m_redis) m_redis->SetCatchUp(m_namespace + TString("*"), {});
        if (m_redis) m_redis->SetSilenceHook(m_namespace + TString("*"), {});
    } catch (...) {
        try {
            TLog::LogCurrentException(TLog::Warn, "Exception caught while unsubscribing.");
        } catch (...) {
        }
    }
}

void RedisPubsub::Impl::LaunchTask(std::function<void(std::uint64_t)> work) {
    // Decrements the count when the task's body goes, whether it ran or was skipped because
    // the launching thread's cancellation context was cancelled first.
    struct Pending {
        explicit Pending(Impl& impl) : m_impl(impl) {
            TMutexLock lock(m_impl.m_tasksMutex);
            ++m_impl.m_pendingTasks;
            m_seq = ++m_impl.m_taskSeq;
        }
        ~Pending() {
            TMutexLock lock(m_impl.m_tasksMutex);
            --m_impl.m_pendingTasks;
            m_impl.m_tasksDone.notify_all();
        }
        Impl& m_impl;
        std::uint64_t m_seq = 0;
    };
    auto pending = std::make_shared<Pending>(*this);
    AsyncTask::Async(
        AsyncTask::Launch::Async, AsyncTask::WhenCanceled::AfterWorkEnds,
        AsyncTask::PreStartCancellationBehavior::SkipWork,
        [pending = std::move(pending), work = std::move(work)]() { work(pending->m_seq); });
    // The future is released here: nothing waits for the task and releasing does not cancel it.
}

// ---- Impl: OnAdded ----

OnAddedMetrics RedisPubsub::Impl::OnAdded(HashPair keyhash, HashPair hash,
                                          unsigned long long timestamp, unsigned int guid,
                                          std::weak_ptr<ICoherentCache> cache) {
    return OnAddedOrFilled(keyhash, hash, timestamp, guid, std::move(cache),
                           {m_skipKnownFills, false});
}

OnAddedMetrics RedisPubsub::Impl::OnAddedOrFilled(HashPair keyhash, HashPair hash,
                                                  unsigned long long timestamp, unsigned int guid,
                                                  std::weak_ptr<ICoherentCache> cache,
                                                  FillMode mode) {
    if (!m_async) return OnAddedSync(keyhash, hash, timestamp, guid, cache, 0, mode);
    TElapsedTimer timer;
    LaunchTask(
        [this, keyhash, hash, timestamp, guid, cache = std::move(cache), mode](std::uint64_t seq) {
            OnAddedSync(keyhash, hash, timestamp, guid, cache, seq, mode);
        });
    OnAddedMetrics result;
    result.totalMs = timer.ElapsedMs();
    return result;
}

OnAddedMetrics RedisPubsub::Impl::OnAddedSync(HashPair keyhash, HashPair hash,
                                              unsigned long long timestamp, unsigned int guid,
                                              const std::weak_ptr<ICoherentCache>& cache,
                                              std::uint64_t launchSeq, FillMode mode) {
    OnAddedMetrics result;
    TElapsedTimer total;
    Metrics::Scope scope("RedisPubsub::OnAdded", kScopeBits);

    std::shared_ptr<ICoherentCache> alive = cache.lock();
    if (alive) {
        CacheEntryInfo record{hash, timestamp, guid, alive.get()};
        record.byArrival = mode.dropOnArrival;
        TimedLockHold hold(m_lock, result.lockMs);
        // A cache forgotten after this task was launched counts as gone: published only.
        if (!IsForgotten(alive.get(), launchSeq) && !FileAddition(keyhash, record, result)) {
            result.totalMs = total.ElapsedMs();
            return result;
        }
    }

    alive.reset();
    if (!(mode.skipKnown && SkipKnownFill(keyhash, hash, timestamp)))
        Announce(keyhash, hash, timestamp, guid, cache, mode, result);
    result.totalMs = total.ElapsedMs();
    return result;
}

bool RedisPubsub::Impl::FileAddition(const HashPair& keyhash, const CacheEntryInfo& record,
                                     OnAddedMetrics& result) {
    if (m_removeBeforeAddPlaceholders.erase({record.guid, record.cache}) != 0) {
        // The cache removed the entry before this addition was processed: it is gone.
        if (m_loggingEnabled) {
            TLog::LogMessage(m_logSeverity,
                             TFormatString("RedisPubsub: Deleting placeholder for "
                                           "CacheGuid=%1, cache=%2, size=%3",
                                           record.guid, TString::pointer(record.cache),
                                           m_removeBeforeAddPlaceholders.size()));
        }
        SetPlaceholderCounter();
        return false;
    }

    auto filed = m_keyhashToCacheEntries.find(keyhash);
    bool staleOnArrival = false;
    if (filed != m_keyhashToCacheEntries.end()) {
        for (const CacheEntryInfo& other : filed->second)
            if ((staleOnArrival = IsDirty(record, other.hash, other.timestamp))) break;
    }
    if (staleOnArrival) {
        // Older than content filed already: the new entry is stale on arrival. Nothing was
        // filed and no reference into the tables is held while the cache is told, so the
        // cache may call back.
        TElapsedTimer dirty;
        NotifyDirty(record);
        result.dirtyMs = dirty.ElapsedMs();
        return false;
    }
    if (filed == m_keyhashToCacheEntries.end()) {
        ++VelmoraCounters::RedisPubsubSavedMessages;
        filed = m_keyhashToCacheEntries.emplace(keyhash, std::vector<CacheEntryInfo>{}).first;
    }
    m_guidAndCacheToKeyHash[{record.guid, record.cache}] = keyhash;
    filed->second.push_back(record);

    TElapsedTimer prune;
    PruneEvictedEntries();
    result.pruneMs = prune.ElapsedMs();
    return true;
}

void RedisPubsub::Impl::Announce(const HashPair& keyhash, const HashPair& hash,
                                 unsigned long long timestamp, unsigned int guid,
                                 const std::weak_ptr<ICoherentCache>& cache, FillMode mode,
                                 OnAddedMetrics& result) {
    const TString channel = FormatCoherenceChannel(m_namespace, keyhash);
    const TString message = FormatCoherenceMessage(hash, timestamp);
    TElapsedTimer publish;
    m_publish(channel, message);
    if (mode.dropOnArrival && mode.loadStartNs != 0) {
        // A change that arrived while this fill loaded may have reached the server first.
        if (const auto lost = m_arrivals.NoteAnnouncedFill(keyhash, hash, mode.loadStartNs)) {
            m_publish(channel, FormatCoherenceMessage(lost->first, lost->second));
            ++m_counters.reannounced;
        }
    }
    result.publishMs = publish.ElapsedMs();

    if (m_loggingEnabled) {
        const std::shared_ptr<ICoherentCache> logged = cache.lock();
        TLog::LogMessage(
            m_logSeverity,
            TFormatString("RedisPubsub OnAdded data=%1 on channel=%2 CacheGuid=%3, cache=%4",
                          message, channel, guid,
                          logged ? TString::pointer(logged.get())
                                 : TString("cache object already destroyed.")));
    }
}

bool RedisPubsub::Impl::SkipKnownFill(const HashPair& keyhash, const HashPair& hash,
                                      unsigned long long timestamp) {
    const unsigned long long marginTicks =
        static_cast<unsigned long long>(std::max(0, m_minimumDeltaSeconds)) * 10000000ULL;
    if (!m_arrivals.IsNewestReceived(keyhash, hash, timestamp, marginTicks)) return false;
    m_arrivals.RememberSkipped(keyhash, hash, timestamp);
    ++m_counters.fillsNotPublished;
    return true;
}

void RedisPubsub::Impl::PublishOwed(const HashPair& keyhash, const HashPair& hash,
                                    unsigned long long arrivedTimestamp) {
    const auto owed = m_arrivals.TakeOwed(keyhash, hash, arrivedTimestamp);
    if (owed.empty()) return;
    const TString channel = FormatCoherenceChannel(m_namespace, keyhash);
    for (const auto& [skippedHash, timestamp] : owed) {
        m_publish(channel, FormatCoherenceMessage(skippedHash, timestamp));
        ++m_counters.skippedPublishedLater;
    }
}

// ---- Impl: OnRemoved ----

OnRemovedMetrics RedisPubsub::Impl::OnRemoved(const std::vector<unsigned int>& guids,
                                              std::weak_ptr<ICoherentCache> cache) {
    if (!m_async) return OnRemovedSync(guids, cache);
    TElapsedTimer timer;
    LaunchTask([this, guids, cache = std::move(cache)](std::uint64_t seq) {
        OnRemovedSync(guids, cache, seq);
    });
    OnRemovedMetrics result;
    result.totalMs = timer.ElapsedMs();
    result.guidCount = guids.size();
    return result;
}

OnRemovedMetrics RedisPubsub::Impl::OnRemovedSync(const std::vector<unsigned int>& guids,
                                                  const std::weak_ptr<ICoherentCache>& cache,
                                                  std::uint64_t launchSeq) {
    OnRemovedMetrics result;
    TElapsedTimer total;
    result.guidCount = guids.size();
    Metrics::Scope scope("RedisPubsub::OnRemoved", kScopeBits);
    if (guids.empty()) return result;

    // One eviction time for every guid of this call.
    const long long evictedTime = SteadyNowNs();
    const std::shared_ptr<ICoherentCache> alive = cache.lock();
    if (!alive) {
        result.totalMs = total.ElapsedMs();
        return result;
    }
    {
        TimedLockHold hold(m_lock, result.lockMs);
        if (IsForgotten(alive.get(), launchSeq)) {
            result.totalMs = total.ElapsedMs();
            return result;
        }
        for (unsigned int guid : guids) {
            if (m_loggingEnabled) {
                TLog::LogMessage(m_logSeverity,
                                 TFormatString("RedisPubsub::OnRemoved CacheGuid=%1 on cache=%2",
                                               guid, TString::pointer(alive.get())));
            }
            if (m_guidAndCacheToKeyHash.find({guid, alive.get()}) == m_guidAndCacheToKeyHash.end())
                RecordPlaceholder(guid, alive.get());
            else
                MarkEvicted(guid, alive.get(), evictedTime);
        }
        TElapsedTimer prune;
        PruneEvictedEntries();
        result.pruneMs = prune.ElapsedMs();
    }
    result.totalMs = total.ElapsedMs();
    return result;
}

void RedisPubsub::Impl::OnRemoved(const ICoherentCache& cache) {
    ICoherentCache* const address = const_cast<ICoherentCache*>(&cache);
    if (m_loggingEnabled) {
        TLog::LogMessage(m_logSeverity, TFormatString("RedisPubsub OnRemoved CacheGuid=ALL on "
                                                      "cache=%1",
                                                      TString::pointer(address)));
    }
    std::vector<unsigned int> guids;
    {
        TExclusiveLockGuard hold(m_lock);
        {
            // Tasks launched so far must not file the cache once this returns (its address may
            // be reused by the next cache the host makes).
            TMutexLock tasks(m_tasksMutex);
            if (m_pendingTasks == 0)
                m_forgotten.clear();
            else
                m_forgotten[address] = m_taskSeq;
        }
        if (m_notifyDepth > 0) m_forgottenWhileNotifying.push_back(address);
        for (auto it = m_keyhashToCacheEntries.begin(); it != m_keyhashToCacheEntries.end();) {
            std::erase_if(it->second,
                          [&](const CacheEntryInfo& record) { return record.cache == address; });
            it = it->second.empty() ? m_keyhashToCacheEntries.erase(it) : std::next(it);
        }
        for (auto it = m_guidAndCacheToKeyHash.begin(); it != m_guidAndCacheToKeyHash.end();) {
            if (it->first.second == address) {
                guids.push_back(it->first.first);
                it = m_guidAndCacheToKeyHash.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = m_evictedEntries.begin(); it != m_evictedEntries.end();) {
            if (it->second.cache == address) {
                m_evictedGuidAndCache.erase({it->second.guid, address});
                it = m_evictedEntries.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Placeholders of the cache stay: they are consumed or flushed as usual.
    for (ICascadeInvalidator* invalidator :
         CascadeInvalidatorHolderFactory::GetInstance().GetInvalidators()) {
        if (invalidator) invalidator->OnEvicted(guids, &cache);
    }
    NotifyPruned({{const_cast<ICoherentCache*>(&cache), guids}});
}

std::uint64_t RedisPubsub::Impl::AddPruneListener(PruneListener listener) {
    TMutexLock lock(m_listenersMutex);
    m_pruneListeners.emplace(++m_nextListener, std::move(listener));
    return m_nextListener;
}

void RedisPubsub::Impl::RemovePruneListener(std::uint64_t id) {
    TMutexLock lock(m_listenersMutex);
    m_pruneListeners.erase(id);
}

void RedisPubsub::Impl::NotifyPruned(
    const std::map<ICoherentCache*, std::vector<unsigned int>>& removals) {
    std::vector<PruneListener> listeners;
    {
        TMutexLock lock(m_listenersMutex);
        for (const auto& [id, listener] : m_pruneListeners) listeners.push_back(listener);
    }
    for (const PruneListener& listener : listeners)
        for (const auto& [cache, guids] : removals)
            if (!guids.empty()) listener(guids, cache);
}

bool RedisPubsub::Impl::IsForgotten(ICoherentCache* cache, std::uint64_t launchSeq) const {
    VEL_ASSERT_HELD(m_lock);
    if (launchSeq == 0) return false;
    auto it = m_forgotten.find(cache);
    return it != m_forgotten.end() && launchSeq <= it->second;
}

// ---- Impl: test support ----

void RedisPubsub::Impl::TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries,
                                                           int evictedLifetimeSec) {
    if (maxEvictedEntries >= 0) m_maxEvictedEntries = maxEvictedEntries;
    if (evictedLifetimeSec >= 0) m_evictedLifetimeSec = evictedLifetimeSec;
    PruneEvictedEntries();
}

RedisPubsub::TrackingCounts RedisPubsub::Impl::GetTrackingCounts() {
    TExclusiveLockGuard hold(m_lock);
    TrackingCounts counts;
    counts.keyHashes = m_keyhashToCacheEntries.size();
    counts.placeholders = m_removeBeforeAddPlaceholders.size();
    for (const auto& [keyhash, records] : m_keyhashToCacheEntries) {
        VEL_ASSERT_MSG(!records.empty(), "no empty vector in m_keyhashToCacheEntries");
        for (const CacheEntryInfo& record : records) {
            ++counts.records;
            auto filed = m_guidAndCacheToKeyHash.find({record.guid, record.cache});
            VEL_ASSERT_MSG(filed != m_guidAndCacheToKeyHash.end() && filed->second == keyhash,
                           "every record is filed under its key hash");
            if (!record.IsEvicted()) continue;
            ++counts.evicted;
            VEL_ASSERT_MSG(m_evictedGuidAndCache.count({record.guid, record.cache}) == 1,
                           "every evicted record is in m_evictedGuidAndCache");
            bool copied = false;
            auto [first, last] = m_evictedEntries.equal_range(record.evictedTime);
            for (auto it = first; it != last; ++it)
                copied |= it->second.guid == record.guid && it->second.cache == record.cache;
            VEL_ASSERT_MSG(copied, "every evicted record has its copy in m_evictedEntries");
        }
    }
    VEL_ASSERT_MSG(counts.records == m_guidAndCacheToKeyHash.size(),
                   "every filed pair has its record");
    VEL_ASSERT_MSG(
        counts.evicted == m_evictedEntries.size() && counts.evicted == m_evictedGuidAndCache.size(),
        "every evicted copy belongs to an evicted record");
    return counts;
}

}  // namespace velmora::caching
