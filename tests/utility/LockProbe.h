// Observes from inside a callback whether a cache's lock is held by anyone: another thread
// tries to take it exclusively until a deadline and reports whether it got it.
#pragma once

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "utility/CacheHelpers.h"
#include "velsys/Locks.h"

namespace veltest {

// Whether another thread can take `lock` exclusively within `wait`. The calling thread must not
// hold it (TryLock is re-entrant only for the holder, so the probe runs on its own thread).
inline bool LockCanBeTakenElsewhere(TReadWriteLock& lock, std::chrono::milliseconds wait) {
    return std::async(std::launch::async,
                      [&lock, wait] {
                          const auto deadline = std::chrono::steady_clock::now() + wait;
                          do {
                              if (lock.TryLock()) {
                                  lock.Unlock();
                                  return true;
                              }
                              std::this_thread::sleep_for(std::chrono::milliseconds(1));
                          } while (std::chrono::steady_clock::now() < deadline);
                          return false;
                      })
        .get();
}

// Records, for every probe, whether the lock was free at that moment.
class LockObserver {
public:
    LockObserver(TReadWriteLock& lock, std::chrono::milliseconds wait)
        : m_lock(lock), m_wait(wait) {}

    void Probe() {
        const bool free = LockCanBeTakenElsewhere(m_lock, m_wait);
        std::lock_guard<std::mutex> guard(m_mutex);
        m_answers.push_back(free);
    }
    std::vector<bool> Answers() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_answers;
    }

private:
    TReadWriteLock& m_lock;
    const std::chrono::milliseconds m_wait;
    mutable std::mutex m_mutex;
    std::vector<bool> m_answers;
};

// A predicate that probes the lock on every Matches, then answers `matches`. Names the "value"
// index with `key` when `key` is not empty.
class ProbingPredicate : public CacheHelpers::EntryPredicate {
public:
    ProbingPredicate(LockObserver& observer, bool matches, TString key = TString())
        : m_observer(observer), m_matches(matches), m_key(std::move(key)) {}
    bool Matches(const CacheHelpers::Entry&) override {
        m_observer.Probe();
        return m_matches;
    }
    TString GetIndexName() const override { return m_key.isEmpty() ? TString() : TString("value"); }
    TString GetKeyForIndexing() const override { return m_key; }
    bool HasIndex() const override { return !m_key.isEmpty(); }

private:
    LockObserver& m_observer;
    const bool m_matches;
    const TString m_key;
};

// A policy that probes the lock in Purge and keeps nothing.
class ProbingPolicy : public CacheHelpers::IPolicy {
public:
    explicit ProbingPolicy(LockObserver& observer) : m_observer(observer) {}
    CacheHelpers::EntrySet Purge(CacheHelpers::EntrySet::const_iterator,
                                 CacheHelpers::EntrySet::const_iterator,
                                 unsigned long long) override {
        m_observer.Probe();
        return {};
    }

private:
    LockObserver& m_observer;
};

}  // namespace veltest
