// External caches: byte buffers kept outside the process under text keys, per namespace.
//
// IExternalCache is what hosts call; every operation returns a future at once and is
// best-effort: a failing backing store shows as false or an empty pointer, never as an
// exception. ExternalCache is the base of the backends (disk, Redis): it turns the three
// backend functions a subclass supplies into asynchronous tasks whose bodies are the guarded
// procedures of caching/GuardedExecution.h (thresholds, process-wide concurrency limit,
// time-outs, one log line and one metrics scope per call). Caches are owned through
// std::shared_ptr; a task owns copies of everything it uses, so it may outlive both the cache
// and the future the caller dropped, and its result is then discarded. Values are shared, never
// copied, between the caller and the task, and must not be changed once handed over.
// Thread contract: safe for concurrent use (an external cache is immutable after construction).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "VelcacheExport.h"
#include "caching/GuardedExecution.h"
#include "velcore/AppOptions.h"
#include "velcoreplatform/TString.h"
#include "velsys/AsyncTask.h"
#include "velsys/Exceptions.h"

namespace velmora::caching {

/// A key/value byte cache outside the process (disk, Redis); every call asynchronous, under the
/// guarded procedure.
template <class K, class V>
class VELCACHE_EXPORT IExternalCache {
public:
    /// How values are handed in and out.
    using ValuePtr = std::shared_ptr<V>;

    IExternalCache() = default;
    /// Caches copy their settings.
    IExternalCache(const IExternalCache&) = default;
    /// Caches copy their settings.
    IExternalCache& operator=(const IExternalCache&) = default;

    /// Stores `value` under `key`, keeping it `ttlSec` seconds (-1: the backend's default);
    /// `loadTimeMs` is how long the caller took to produce it. The future holds true when the
    /// value was stored or deliberately not stored (too fast to be worth it, too large), false
    /// when the store was refused (concurrency limit), timed out or failed.
    /// REQUIRES: value is not null ("val"); a pointer to an empty vector is fine.
    virtual AsyncTask::Future<bool> TryStore(K key, ValuePtr value, unsigned int loadTimeMs,
                                             long long ttlSec) const = 0;

    /// Loads and waits at most `timeoutMs` for the result. When the wait does not end with the
    /// load complete (also: deferred work, which waiting never runs), sets *timedOut (when not
    /// null) to true and returns an empty pointer; the released load then goes on in the
    /// background, or, when deferred, runs on this thread before the call returns, and its
    /// result is dropped. Otherwise sets *timedOut to false and returns the loaded buffer; an
    /// exception held by the future propagates.
    virtual ValuePtr TryLoad(K key, unsigned int timeoutMs, bool* timedOut) const {
        AsyncTask::Future<ValuePtr> future = TryLoad(std::move(key));
        if (future.WaitFor(std::chrono::milliseconds(timeoutMs)) !=
            AsyncTask::FutureStatus::Ready) {
            if (timedOut) *timedOut = true;
            return nullptr;
        }
        if (timedOut) *timedOut = false;
        return future.Get();
    }

    /// The future holds the buffer stored under `key`, or an empty pointer when there is none,
    /// the load failed or the concurrency limit refused it.
    virtual AsyncTask::Future<ValuePtr> TryLoad(K key) const = 0;

    /// Removes whatever is stored under `key`. The future holds true when the backend call
    /// completed (also when there was nothing to remove), false on refusal, time-out or failure.
    virtual AsyncTask::Future<bool> TryDrop(K key) const = 0;

    /// The keys the cache holds, for backends that can list them; empty otherwise.
    virtual std::vector<K> TryGetAllKeys() const { return {}; }

    virtual ~IExternalCache() = default;
};

/// The template base of the external caches: the guarded procedure around a backend's store, load
/// and drop functions.
template <class K, class V>
class VELCACHE_EXPORT ExternalCache : public IExternalCache<K, V> {
public:
    using typename IExternalCache<K, V>::ValuePtr;
    /// The backend's store.
    using StoreFunc = std::function<void(K key, TString keyHash, ValuePtr value, long long ttlSec)>;
    /// The backend's load: the value, or an empty pointer for a miss.
    using LoadFunc = std::function<ValuePtr(K key, TString keyHash)>;
    /// The backend's drop.
    using DropFunc = std::function<void(K key, TString keyHash)>;
    /// One answer a key, in order: empty when that key's load failed, an empty pointer for a miss.
    using LoadManyFunc = std::function<std::vector<std::optional<ValuePtr>>(
        const std::vector<K>& keys, const std::vector<TString>& keyHashes)>;

    /// Lower-bound latency from the option ExternalCacheLowerBoundLatencyMs; tasks launched
    /// asynchronously.
    explicit ExternalCache(TString ns)
        : ExternalCache(
              std::move(ns),
              static_cast<unsigned int>(velmora::appoptions::ExternalCacheLowerBoundLatencyMs()),
              true) {}
    /// Reads the value-size limit and the store and drop time-outs from the options now; later
    /// changes of the options do not reach this cache. `async` false launches deferred tasks,
    /// which run on the thread that calls Get on the future or releases it last.
    ExternalCache(TString ns, unsigned int lowerBoundLatencyMs, bool async)
        : m_namespace(std::move(ns)),
          m_lowerBoundLatencyMs(std::int64_t(lowerBoundLatencyMs)),
          m_upperBoundSizeMb(
              static_cast<std::uint32_t>(velmora::appoptions::ExternalCacheUpperBound2SizeMb())),
          m_storeTimeoutMs(std::int64_t(velmora::appoptions::ExternalCacheStoreTimeoutMs())),
          m_dropTimeoutMs(std::int64_t(velmora::appoptions::ExternalCacheDropTimeoutMs())),
          m_launch(async ? AsyncTask::Launch::Async : AsyncTask::Launch::Deferred) {}
    /// Copies the settings and shares the backend.
    ExternalCache(const ExternalCache&) = default;

    /// The guarded store (see IExternalCache::TryStore).
    AsyncTask::Future<bool> TryStore(K key, ValuePtr val, unsigned int loadTimeMs,
                                     long long ttlSec) const override {
        VEL_ASSERT(val);
        return Launch([fn = GetStoreFunc(), key = std::move(key), value = std::move(val),
                       loadTimeMs, lowerBound = m_lowerBoundLatencyMs,
                       sizeLimit = m_upperBoundSizeMb, timeout = m_storeTimeoutMs, ttlSec,
                       ns = m_namespace]() -> bool {
            return GuardedStore(fn, key, value, loadTimeMs, lowerBound, sizeLimit, timeout, ttlSec,
                                ns);
        });
    }

    using IExternalCache<K, V>::TryLoad;
    /// The guarded load (see IExternalCache::TryLoad).
    AsyncTask::Future<ValuePtr> TryLoad(K key) const override {
        return Launch([fn = GetLoadFunc(), key = std::move(key), ns = m_namespace]() -> ValuePtr {
            return GuardedLoad(fn, key, ns);
        });
    }

    /// The guarded load of TryLoad run on the calling thread instead of as a task (what a
    /// deferred task does when waited for), for callers that would wait for it at once: no
    /// hand-off to a pool thread and back. Bounded as the backend's load is (the Redis client's
    /// command time-out; a local file read for the disk cache). When `failed` is given, it is set
    /// to whether the load was refused or failed (an empty result that is not a miss).
    ValuePtr LoadOnThisThread(K key, bool* failed = nullptr) const {
        return GuardedLoad(GetLoadFunc(), key, m_namespace, failed);
    }

    /// LoadOnThisThread of several keys (GuardedLoadMany): each key is a guarded load of its
    /// own (semaphore unit, "ec-load" line and scope), and the keys go to the backend together
    /// where it can take them so (LoadBatchSize: one pipelined round trip on Redis; one read a
    /// key on disk). One value a key, in order. `failed`, when given, holds one flag a key.
    std::vector<ValuePtr> LoadManyOnThisThread(const std::vector<K>& keys,
                                               std::vector<char>* failed = nullptr) const {
        return GuardedLoadMany(GetLoadManyFunc(), keys, m_namespace, LoadBatchSize(), failed);
    }

    /// TryLoad whose future also says whether the load was refused or failed, for callers that
    /// tell failures from misses but read on a task thread.
    struct LoadOutcome {
        /// The value; empty for a miss or a failure.
        ValuePtr value;
        /// Whether the load was refused or failed.
        bool failed = false;
    };
    /// TryLoad whose future says whether the load was refused or failed.
    AsyncTask::Future<LoadOutcome> TryLoadWithOutcome(K key) const {
        return Launch([fn = GetLoadFunc(), key = std::move(key), ns = m_namespace] {
            LoadOutcome outcome;
            outcome.value = GuardedLoad(fn, key, ns, &outcome.failed);
            return outcome;
        });
    }

    /// The guarded drop (see IExternalCache::TryDrop).
    AsyncTask::Future<bool> TryDrop(K key) const override {
        return Launch([fn = GetDropFunc(), key = std::move(key), timeout = m_dropTimeoutMs,
                       ns = m_namespace]() -> bool { return GuardedDrop(fn, key, timeout, ns); });
    }

    ~ExternalCache() override = default;

    /// The namespace the cache was made for.
    virtual TString GetNamespace() const { return m_namespace; }

protected:
    /// The backend functions. Each returns a callable that owns everything it needs (a copy of
    /// a path, a reference to a pool), so that it stays valid when the task outlives the cache.
    /// They run on task threads with no lock of the library held, possibly several at once.
    virtual StoreFunc GetStoreFunc() const = 0;
    /// See GetStoreFunc.
    virtual LoadFunc GetLoadFunc() const = 0;
    /// See GetStoreFunc.
    virtual DropFunc GetDropFunc() const = 0;
    /// The most keys one backend call of LoadManyOnThisThread takes; 1 (the default): the load
    /// function is called once a key.
    virtual std::size_t LoadBatchSize() const { return 1; }
    /// The backend's load of several keys; by default the load function once a key.
    virtual LoadManyFunc GetLoadManyFunc() const {
        return [fn = GetLoadFunc()](const std::vector<K>& keys,
                                    const std::vector<TString>& keyHashes) {
            std::vector<std::optional<ValuePtr>> answers;
            answers.reserve(keys.size());
            for (std::size_t i = 0; i < keys.size(); ++i) {
                try {
                    answers.emplace_back(fn(keys[i], keyHashes[i]));
                } catch (...) {
                    answers.emplace_back(std::nullopt);
                }
            }
            return answers;
        };
    }

private:
    template <class F>
    auto Launch(F&& work) const {
        return AsyncTask::Async(m_launch, AsyncTask::WhenCanceled::AfterWorkEnds,
                                AsyncTask::PreStartCancellationBehavior::SkipWork,
                                std::forward<F>(work));
    }

    /// Constant after construction.
    TString m_namespace;
    std::int64_t m_lowerBoundLatencyMs;
    std::uint32_t m_upperBoundSizeMb;
    std::int64_t m_storeTimeoutMs;
    std::int64_t m_dropTimeoutMs;
    AsyncTask::Launch m_launch;
};

using ExternalBytesCache = IExternalCache<TString, ExternalBytes>;

extern template class IExternalCache<TString, ExternalBytes>;
extern template class ExternalCache<TString, ExternalBytes>;

}  // namespace velmora::caching
