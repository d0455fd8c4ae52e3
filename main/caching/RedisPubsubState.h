// CoherenceStateWatch: what a durable coherence service tells the host about its connection to
// the announcement server, as it changes.
//
// The cycle is hearing -> silent (nothing heard within the silence bound, or the connection
// lost) -> catching up (subscribed again, replaying the stream) -> hearing; a gap found and a
// server restart are told as they are found, whatever the state. A change is noticed either by
// the watch's own thread, which compares the subscription's last heard moment with the bound
// every 100 ms (a frozen server delivers nothing that could tell), or by the subscription's
// delivery thread (catch-up, gap, restart), which queues it. The watch's thread alone logs each
// change once and tells the listeners, in the order the changes were noticed, holding no lock
// of the service or of the watch's tables (it holds m_deliverMutex, which only
// RemoveListener takes, to wait for a running call).
// Safe for concurrent use.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "caching/RedisPubsub.h"
#include "velsys/Locks.h"

namespace velmora::caching {

class RedisSubscriptionManager;

class CoherenceStateWatch {
public:
    using State = RedisPubsub::CoherenceState;
    // What the caches of the service did so far, running totals; an outage's end tells the
    // difference since its start.
    struct OutageFigures {
        long long loads = 0;     // loads from the source while the service heard nothing
        long long holds = 0;     // answers from values loaded during a silence
        long long failSafe = 0;  // fail-safe answers while the service heard nothing
        long long flushed = 0;   // tracked entries treated as dirty after a gap
    };

    // Watches `manager`'s subscription for the service of namespace `ns`, whose silence bound
    // is `deafNs` (0: only a lost connection counts as silence) and which treats every tracked
    // entry as dirty on a gap when `flushOnGap`; `figures` (lock-free, may be empty) reads the
    // service's totals. Starts in CatchingUp (subscribing) and starts its thread. REQUIRES:
    // `manager` and what `figures` reads outlive the watch.
    CoherenceStateWatch(const TString& ns, RedisSubscriptionManager& manager, long long deafNs,
                        bool flushOnGap, std::function<OutageFigures()> figures = {});
    // Stops the thread (Stop). REQUIRES: not called from a listener.
    ~CoherenceStateWatch();
    CoherenceStateWatch(const CoherenceStateWatch&) = delete;
    CoherenceStateWatch& operator=(const CoherenceStateWatch&) = delete;

    // Stops the thread; changes not yet told are dropped. Idempotent.
    void Stop();

    // The service was made while the server could not be reached and said so at Error: until
    // it is first heard the state is Silent, and hearing it is told at Info. Changes nothing
    // once the server was heard.
    void UnreachableAtStart();
    // The subscription was confirmed on a new connection and its catch-up begins (delivery
    // thread). A change only when not catching up already.
    void CatchingUp();
    // Announcements may have been missed: `cause` says why.
    void Gap(const std::string& cause);
    // The server's run id changed from `before` to `now`.
    void Restarted(const std::string& before, const std::string& now);

    State Current() const;
    std::uint64_t AddListener(RedisPubsub::StateListener listener);
    // Waits for a running call of the listener unless called from the watch's thread.
    void RemoveListener(std::uint64_t id);

private:
    struct Change {
        State state;
        std::string what;
        int severity;  // a TLog severity
        std::string message;
        std::string endpoint;
    };

    void Run();
    // Compares the subscription's last heard moment with the state and queues the change.
    void Check(const std::string& endpoint) VEL_REQUIRES(m_mutex);
    // Moves to `to` (noting when hearing ended) and queues the change.
    void Move(State to, const char* what, int severity, std::string message,
              const std::string& endpoint) VEL_REQUIRES(m_mutex);
    // What the caches did since the outage began, for its end's line ("" without figures).
    std::string Meanwhile() const VEL_REQUIRES(m_mutex);
    // Logs and tells the listeners each queued change. REQUIRES: no lock held.
    void Deliver(std::deque<Change> changes);
    // "Coherence service "<ns>"".
    std::string Who() const;
    std::string Endpoint() const;

    // Constant after construction.
    const TString m_namespace;
    RedisSubscriptionManager& m_manager;
    const long long m_deafNs;
    const bool m_flushOnGap;
    const std::function<OutageFigures()> m_figures;

    mutable TMutex m_mutex;
    std::condition_variable m_wake;  // waited on with m_mutex
    State m_state VEL_GUARDED_BY(m_mutex) = State::CatchingUp;
    bool m_everHeard VEL_GUARDED_BY(m_mutex) = false;
    bool m_reportedAtStart VEL_GUARDED_BY(m_mutex) = false;
    long long m_lastHeardNs VEL_GUARDED_BY(m_mutex) = 0;    // newest heard moment seen; 0: none
    long long m_notHearingNs VEL_GUARDED_BY(m_mutex) = 0;   // when hearing last ended
    OutageFigures m_atOutageStart VEL_GUARDED_BY(m_mutex);  // the totals then
    std::deque<Change> m_pending VEL_GUARDED_BY(m_mutex);   // noticed, not yet told
    bool m_stop VEL_GUARDED_BY(m_mutex) = false;

    TMutex m_deliverMutex VEL_ACQUIRED_AFTER(m_mutex);  // held by the thread while it tells
    TMutex m_listenersMutex;                            // a leaf
    std::map<std::uint64_t, RedisPubsub::StateListener> m_listeners
        VEL_GUARDED_BY(m_listenersMutex);
    std::uint64_t m_nextListener VEL_GUARDED_BY(m_listenersMutex) = 0;

    std::thread m_thread;
    std::thread::id m_threadId;
};

}  // namespace velmora::caching
