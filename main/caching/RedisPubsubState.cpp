// The coherence service's state as the host sees it: the watch, and the service's members that
// expose it.
#include "caching/RedisPubsubState.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "caching/RedisPubsubImpl.h"
#include "velcoreplatform/TLog.h"
#include "velredis/RedisProbe.h"
#include "velredis/RedisSubscriptionManager.h"

namespace velmora::caching {

namespace {

constexpr auto kCheckInterval = std::chrono::milliseconds(100);
constexpr long long kNsPerMs = 1000000;

std::string MsSince(long long fromNs, long long nowNs) {
    return std::to_string(std::max(0LL, nowNs - fromNs) / kNsPerMs) + " ms";
}

}  // namespace

CoherenceStateWatch::CoherenceStateWatch(const TString& ns, RedisSubscriptionManager& manager,
                                         long long deafNs, bool flushOnGap,
                                         std::function<OutageFigures()> figures)
    : m_namespace(ns),
      m_manager(manager),
      m_deafNs(deafNs),
      m_flushOnGap(flushOnGap),
      m_figures(std::move(figures)) {
    m_thread = std::thread([this] { Run(); });
    m_threadId = m_thread.get_id();
}

CoherenceStateWatch::~CoherenceStateWatch() {
    Stop();
}

void CoherenceStateWatch::Stop() {
    {
        TMutexLock lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable() && std::this_thread::get_id() != m_threadId) m_thread.join();
}

std::string CoherenceStateWatch::Who() const {
    return "Coherence service \"" + m_namespace.toStdString() + "\"";
}

std::string CoherenceStateWatch::Endpoint() const {
    return DescribeRedisEndpoint(m_manager.GetConfig());
}

void CoherenceStateWatch::Run() {
    TMutexLock lock(m_mutex);
    while (!m_stop) {
        m_wake.wait_for(lock.Native(), kCheckInterval);
        if (m_stop) break;
        // The endpoint is read without the watch's lock (the manager takes its own).
        lock.Unlock();
        const std::string endpoint = Endpoint();
        lock.Lock();
        Check(endpoint);
        if (m_pending.empty()) continue;
        std::deque<Change> changes;
        changes.swap(m_pending);
        lock.Unlock();
        Deliver(std::move(changes));
        lock.Lock();
    }
}

void CoherenceStateWatch::Check(const std::string& endpoint) {
    // Read under the watch's lock, so that a change the delivery thread queues meanwhile is
    // judged against what it saw (a catch-up begins only once the connection is not live).
    const long long heardAt = m_manager.HeardLiveAtNs();
    const long long now = SteadyNowNs();
    m_lastHeardNs = std::max(m_lastHeardNs, heardAt);
    const bool hears = heardAt != 0 && (m_deafNs <= 0 || now - heardAt <= m_deafNs);
    if (m_state == State::Hearing && !hears) {
        const std::string what =
            m_deafNs > 0
                ? ": read-through caches serve nothing they held and load from the source"
                : ": caches keep serving what they hold (CacheSynchronizationMaxDeafMs is 0), "
                  "and changes announced meanwhile reach them late";
        Move(State::Silent, "silent", TLog::Warn,
             Who() + " hears nothing from Redis at " + endpoint + " for " +
                 MsSince(m_lastHeardNs, now) + what,
             endpoint);
    } else if (m_state != State::Hearing && hears) {
        std::string message = Who() + " hears Redis at " + endpoint;
        int severity = TLog::Info;
        if (m_everHeard) {
            // The end of an outage, at Warn as its start: an operator reads both or neither.
            severity = TLog::Warn;
            message += " again after " + MsSince(m_notHearingNs, now) +
                       ": read-through caches serve what they hold again" + Meanwhile();
        } else if (!m_reportedAtStart) {
            severity = TLog::Debug;  // the start-up, which nobody was warned about
        }
        m_everHeard = true;
        Move(State::Hearing, "hearing", severity, std::move(message), endpoint);
    }
}

std::string CoherenceStateWatch::Meanwhile() const {
    if (!m_figures) return "";
    const OutageFigures now = m_figures();
    const auto times = [](long long n) {
        return std::to_string(n) + (n == 1 ? " time" : " times");
    };
    return "; meanwhile they loaded from the source " + times(now.loads - m_atOutageStart.loads) +
           ", answered " + times(now.holds - m_atOutageStart.holds) +
           " with values loaded during the silence and gave " +
           std::to_string(now.failSafe - m_atOutageStart.failSafe) + " fail-safe answers; " +
           std::to_string(now.flushed - m_atOutageStart.flushed) +
           " tracked entries were treated as dirty";
}

void CoherenceStateWatch::Move(State to, const char* what, int severity, std::string message,
                               const std::string& endpoint) {
    if (m_state == State::Hearing) {
        m_notHearingNs = m_lastHeardNs != 0 ? m_lastHeardNs : SteadyNowNs();
        if (m_figures) m_atOutageStart = m_figures();
    }
    m_state = to;
    m_pending.push_back(Change{to, what, severity, std::move(message), endpoint});
    m_wake.notify_all();
}

void CoherenceStateWatch::UnreachableAtStart() {
    TMutexLock lock(m_mutex);
    m_reportedAtStart = true;
    if (!m_everHeard && m_state == State::CatchingUp) m_state = State::Silent;
}

void CoherenceStateWatch::CatchingUp() {
    const std::string endpoint = Endpoint();
    TMutexLock lock(m_mutex);
    if (m_state == State::CatchingUp) return;
    const std::string meanwhile =
        m_deafNs > 0 ? "; read-through caches serve nothing they held until it hears" : "";
    Move(State::CatchingUp, "catching-up", TLog::Info,
         Who() + " is subscribed again to Redis at " + endpoint +
             " and replays the announcements it missed" + meanwhile,
         endpoint);
}

void CoherenceStateWatch::Gap(const std::string& cause) {
    const std::string endpoint = Endpoint();
    TMutexLock lock(m_mutex);
    m_pending.push_back(Change{
        m_state, "gap", TLog::Warn,
        Who() + " may have missed announcements from Redis at " + endpoint + " (" + cause +
            (m_flushOnGap ? "): every tracked entry is treated as dirty"
                          : "): tracked entries are kept (CacheSynchronizationFlushOnGap is off)"),
        endpoint});
    m_wake.notify_all();
}

void CoherenceStateWatch::Restarted(const std::string& before, const std::string& now) {
    const std::string endpoint = Endpoint();
    TMutexLock lock(m_mutex);
    m_pending.push_back(Change{m_state, "restarted", TLog::Warn,
                               Who() + ": the Redis server at " + endpoint + " restarted (run id " +
                                   before + ", now " + now +
                                   "); what it held in memory only is gone",
                               endpoint});
    m_wake.notify_all();
}

RedisPubsub::CoherenceState CoherenceStateWatch::Current() const {
    TMutexLock lock(m_mutex);
    return m_state;
}

std::uint64_t CoherenceStateWatch::AddListener(RedisPubsub::StateListener listener) {
    TMutexLock lock(m_listenersMutex);
    m_listeners.emplace(++m_nextListener, std::move(listener));
    return m_nextListener;
}

void CoherenceStateWatch::RemoveListener(std::uint64_t id) {
    {
        TMutexLock lock(m_listenersMutex);
        m_listeners.erase(id);
    }
    // A call that started before the removal ends before this returns.
    if (std::this_thread::get_id() != m_threadId) TMutexLock wait(m_deliverMutex);
}

void CoherenceStateWatch::Deliver(std::deque<Change> changes) {
    TMutexLock delivering(m_deliverMutex);
    for (const Change& change : changes) {
        TLog::LogMessage(change.severity, TString::fromStdString(change.message));
        // Looked up afresh for each call: a listener removed meanwhile is not called.
        for (std::uint64_t next = 0;;) {
            RedisPubsub::StateListener listener;
            {
                TMutexLock lock(m_listenersMutex);
                auto it = m_listeners.lower_bound(next);
                if (it == m_listeners.end()) break;
                next = it->first + 1;
                listener = it->second;
            }
            try {
                listener(RedisPubsub::CoherenceEvent{change.state, change.what, change.endpoint,
                                                     change.message});
            } catch (...) {
                TLog::LogCurrentException(
                    TLog::Warn, "A coherence state listener raised; it stays registered.");
            }
        }
    }
}

// ---- RedisPubsub ----

std::uint64_t RedisPubsub::AddStateListener(StateListener listener) {
    CoherenceStateWatch* watch = m_impl->StateWatch();
    return watch ? watch->AddListener(std::move(listener)) : 0;
}

void RedisPubsub::RemoveStateListener(std::uint64_t id) {
    if (CoherenceStateWatch* watch = m_impl->StateWatch()) watch->RemoveListener(id);
}

RedisPubsub::CoherenceState RedisPubsub::State() const {
    const CoherenceStateWatch* watch = m_impl->StateWatch();
    return watch ? watch->Current() : CoherenceState::Hearing;
}

}  // namespace velmora::caching
