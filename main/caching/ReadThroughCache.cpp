#include "caching/ReadThroughCache.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "ReadThroughEnvelope.h"
#include "caching/CascadeInvalidator.h"
#include "caching/CoherenceMessages.h"
#include "metrics2/Metrics.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velcore/ThreadContext.h"
#include "velcoredata/DateTime.h"
#include "velsys/Exceptions.h"
#include "velsys/Hash.h"
#include "velsys/Locks.h"

namespace velmora::caching {

namespace {

thread_local ReadThroughUsage* t_usage = nullptr;

using AnyValue = ReadThroughCore::AnyValue;

// One value held in memory.
class HeldValue : public RefCntObject {
public:
    HeldValue(std::string k, AnyValue v, HashPair h, unsigned long long at)
        : key(std::move(k)), value(std::move(v)), hash(h), producedAt(at) {}
    const std::string key;
    const AnyValue value;
    const HashPair hash;
    const unsigned long long producedAt;
};

const HeldValue* HeldOf(const CacheHelpers::Payload& payload) {
    return dynamic_cast<const HeldValue*>(payload.Get());
}

TString IndexKey(const std::string& key) {
    return TString::fromStdString(key);
}

// The entry of one key, through the "key" index.
class KeyIs : public CacheHelpers::EntryPredicate {
public:
    explicit KeyIs(const std::string& key) : m_key(key), m_indexKey(IndexKey(key)) {}
    bool Matches(const CacheHelpers::Entry& entry) override {
        const HeldValue* held = HeldOf(entry.GetData());
        return held && held->key == m_key;
    }
    TString GetIndexName() const override { return "key"; }
    TString GetKeyForIndexing() const override { return m_indexKey; }
    bool HasIndex() const override { return true; }

private:
    const std::string& m_key;  // outlives the predicate (used within one call)
    TString m_indexKey;
};

// The memory layer: counts the entries the coherence service drops.
class MemoryLayer : public SynchronizedIndexedCache {
public:
    explicit MemoryLayer(std::shared_ptr<CacheHelpers::IPolicy> policy)
        : SynchronizedIndexedCache(std::move(policy), CacheHelpers::CreateSystemClock()) {
        AddIndex("key", [](const CacheHelpers::Entry& e) {
            const HeldValue* held = HeldOf(e.GetData());
            return held ? IndexKey(held->key) : TString();
        });
    }
    void OnDirty(const std::vector<unsigned int>& ids) override {
        m_invalidated += static_cast<long long>(ids.size());
        SynchronizedIndexedCache::OnDirty(ids);
    }
    std::atomic<long long> m_invalidated{0};
};

std::vector<unsigned int> Ids(const CacheHelpers::EntrySet& entries) {
    std::vector<unsigned int> ids;
    ids.reserve(entries.size());
    for (const auto& e : entries) ids.push_back(e.GetID());
    return ids;
}

unsigned long long UtcNow() {
    return DateTime::UtcNow().GetRepresentation();
}

}  // namespace

ReadThroughUsage* SetReadThroughUsageRecorder(ReadThroughUsage* usage) {
    return std::exchange(t_usage, usage);
}

// ---- Impl ----

class ReadThroughCore::Impl {
public:
    Impl(const ReadThroughOptions& options, ReadThroughCore::Encode encode,
         ReadThroughCore::Decode decode, std::shared_ptr<RedisPubsub> service);
    ~Impl();

    Result Get(const std::string& key, const Loader& loader);
    unsigned int Set(const std::string& key, const AnyValue& value);
    void Invalidate(const std::string& key);
    ReadThroughCounters Counters() const;
    HashPair KeyHash(const std::string& key) const;
    TString ExternalKey(const HashPair& keyhash) const;
    std::vector<std::pair<std::string, AnyValue>> Held() const;
    bool Holds(unsigned int guid) const { return m_memory && m_memory->TryGetEntry(guid); }

private:
    // A load in flight; its waiters share what it finds.
    struct Flight {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        Result result;
        std::exception_ptr error;
    };
    // What one look in memory found.
    struct Found {
        AnyValue value;
        unsigned int guid = 0;
    };
    // What a load found below memory, or loaded, before it is filled.
    struct Loaded {
        AnyValue value;
        ExternalBytesPtr stored;  // the envelope as stored (or to store)
        HashPair hash;
        unsigned long long producedAt = 0;
        int layer = -1;  // -1: the loader
        unsigned int loadMs = 0;
    };

    Found LookInMemory(const std::string& key);
    // The leader of a flight: the lower layers, then the loader, then the fill.
    Result LoadAndFill(const std::string& key, const HashPair& keyhash, const Loader& loader);
    bool LoadFromLayers(const std::string& key, const HashPair& keyhash, Loaded& loaded);
    ExternalBytesPtr ReadLayer(std::size_t index, const TString& externalKey);
    void Seal(const std::string& key, const AnyValue& value, Loaded& loaded) const;
    // Files the value in memory and announces it; returns its guid (0 without memory).
    unsigned int Fill(const std::string& key, const HashPair& keyhash, const Loaded& loaded);
    void DropFilled(unsigned int guid);
    void StoreBelow(const TString& externalKey, const Loaded& loaded, std::size_t upTo) const;
    void ReportRemoved(const CacheHelpers::EntrySet& entries);
    bool MayFill(const HashPair& keyhash, const HashPair& hash, long long startNs) const;
    bool MayServe(const HashPair& keyhash, const HashPair& hash,
                  unsigned long long producedAt) const;
    void NoteUsed(unsigned int guid) const;
    Result Wait(Flight& flight);

    const ReadThroughOptions& m_options;
    const ReadThroughCore::Encode m_encode;
    const ReadThroughCore::Decode m_decode;
    const std::shared_ptr<RedisPubsub> m_service;
    std::shared_ptr<MemoryLayer> m_memory;
    std::vector<ExternalBytesCache*> m_inline;  // per layer: the cache to read inline, or null
    long long m_lifetimeSec;
    unsigned long long m_lifetimeTicks;

    TMutex m_flightsMutex;
    std::unordered_map<std::string, std::shared_ptr<Flight>> m_flights GUARDED_BY(m_flightsMutex);

    struct Atomics {
        std::atomic<long long> memoryHits{0}, loads{0}, loadFailures{0}, coalesced{0},
            waitTimeouts{0}, raced{0}, rejected{0}, externalFailures{0}, evictions{0};
        std::unique_ptr<std::atomic<long long>[]> layerHits;
    } mutable m_counts;
};

ReadThroughCore::Impl::Impl(const ReadThroughOptions& options, ReadThroughCore::Encode encode,
                            ReadThroughCore::Decode decode, std::shared_ptr<RedisPubsub> service)
    : m_options(options),
      m_encode(std::move(encode)),
      m_decode(std::move(decode)),
      m_service(std::move(service)) {
    if (options.memoryPolicy || options.memoryEntries > 0) {
        m_memory = std::make_shared<MemoryLayer>(
            options.memoryPolicy ? options.memoryPolicy
                                 : std::make_shared<CacheHelpers::MRUPolicy>(
                                       static_cast<unsigned int>(options.memoryEntries)));
    }
    for (const ExternalCachePtr& layer : options.layers) {
        auto* direct = dynamic_cast<ExternalCache<TString, ExternalBytes>*>(layer.get());
        m_inline.push_back(options.inlineExternalLoads ? direct : nullptr);
    }
    m_counts.layerHits = std::make_unique<std::atomic<long long>[]>(options.layers.size() + 1);
    m_lifetimeSec = m_service ? std::min(m_service->ValueLifetimeSec(), options.valueLifetimeSec)
                              : options.valueLifetimeSec;
    m_lifetimeSec = std::max(1LL, m_lifetimeSec);
    m_lifetimeTicks = static_cast<unsigned long long>(m_lifetimeSec) * 1000ULL *
                      static_cast<unsigned long long>(DateTimeSpan::kTicksPerMillisecond);
}

ReadThroughCore::Impl::~Impl() {
    if (m_memory && m_service) m_service->OnRemoved(*m_memory);
}

HashPair ReadThroughCore::Impl::KeyHash(const std::string& key) const {
    std::string text;
    text.reserve(m_options.name.size() + 1 + key.size());
    text.append(m_options.name).append(1, '\n').append(key);
    return THash128(text.data(), text.size(), 0);
}

TString ReadThroughCore::Impl::ExternalKey(const HashPair& keyhash) const {
    return TString::fromStdString("rt." + m_options.name + ".") + FormatHashPair(keyhash);
}

void ReadThroughCore::Impl::NoteUsed(unsigned int guid) const {
    if (t_usage) {
        if (guid)
            t_usage->parts.push_back({m_memory, guid});
        else
            t_usage->uncachedPart = true;
    }
    if (guid == 0 || !VelmoraTls::GetThreadContext()) return;
    if (CascadeInvalidatorAggregator* aggregator = CascadeInvalidatorAggregator::TryGetSingleton())
        aggregator->OnEntryUsed(guid, m_memory.get());
}

ReadThroughCore::Impl::Found ReadThroughCore::Impl::LookInMemory(const std::string& key) {
    Found found;
    if (!m_memory) return found;
    unsigned int guid = 0;
    const CacheHelpers::Payload payload =
        m_memory->TryGetEntryAndHint(std::make_shared<KeyIs>(key), guid);
    if (const HeldValue* held = HeldOf(payload)) {
        found.value = held->value;
        found.guid = guid;
    }
    return found;
}

ReadThroughCore::Result ReadThroughCore::Impl::Get(const std::string& key, const Loader& loader) {
    if (Found found = LookInMemory(key); found.value) {
        ++m_counts.memoryHits;
        NoteUsed(found.guid);
        return {std::move(found.value), ReadThroughSource::Memory, -1, found.guid, false};
    }
    std::shared_ptr<Flight> flight;
    bool leader = false;
    {
        TMutexLock lock(m_flightsMutex);
        auto [it, added] = m_flights.try_emplace(key);
        if (added) it->second = std::make_shared<Flight>();
        flight = it->second;
        leader = added;
    }
    if (!leader) {
        std::unique_lock<std::mutex> lock(flight->mutex);
        if (flight->done.wait_for(lock, std::chrono::milliseconds(m_options.loadWaitMs),
                                  [&] { return flight->finished; })) {
            ++m_counts.coalesced;
            if (flight->error) std::rethrow_exception(flight->error);
            Result shared = flight->result;
            lock.unlock();
            shared.coalesced = true;
            NoteUsed(shared.guid);
            return shared;
        }
        lock.unlock();
        ++m_counts.waitTimeouts;
        Result own = LoadAndFill(key, KeyHash(key), loader);
        NoteUsed(own.guid);
        return own;
    }
    // The leader answers its flight whatever happens, then lets the key go.
    const auto finish = [&](const Result* result, std::exception_ptr error) {
        {
            TMutexLock lock(m_flightsMutex);
            m_flights.erase(key);
        }
        std::lock_guard<std::mutex> lock(flight->mutex);
        if (result) flight->result = *result;
        flight->error = std::move(error);
        flight->finished = true;
        flight->done.notify_all();
    };
    Result result;
    try {
        result = LoadAndFill(key, KeyHash(key), loader);
    } catch (...) {
        finish(nullptr, std::current_exception());
        throw;
    }
    finish(&result, nullptr);
    NoteUsed(result.guid);
    return result;
}

ReadThroughCore::Result ReadThroughCore::Impl::LoadAndFill(const std::string& key,
                                                           const HashPair& keyhash,
                                                           const Loader& loader) {
    const long long startNs = RedisPubsub::FillClockNs();
    Loaded loaded;
    if (!LoadFromLayers(key, keyhash, loaded)) {
        loaded.producedAt = UtcNow();
        const auto started = std::chrono::steady_clock::now();
        ++m_counts.loads;
        try {
            loaded.value = loader();
        } catch (...) {
            ++m_counts.loadFailures;
            throw;
        }
        loaded.loadMs =
            static_cast<unsigned int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - started)
                                          .count());
        Seal(key, loaded.value, loaded);
    }
    Result result{loaded.value,
                  loaded.layer < 0 ? ReadThroughSource::Loader : ReadThroughSource::External,
                  loaded.layer, 0, false};
    // First verdict: a fill that already lost is neither announced nor stored.
    if (!MayFill(keyhash, loaded.hash, startNs)) {
        ++m_counts.raced;
        return result;
    }
    result.guid = Fill(key, keyhash, loaded);
    // Second verdict: an announcement that arrived before the entry was filed reached no
    // record; the entry goes, and the lower layers are not written.
    if (!MayFill(keyhash, loaded.hash, startNs)) {
        ++m_counts.raced;
        DropFilled(result.guid);
        result.guid = 0;
        return result;
    }
    const std::size_t below =
        loaded.layer < 0 ? m_options.layers.size() : static_cast<std::size_t>(loaded.layer);
    StoreBelow(ExternalKey(keyhash), loaded, below);
    return result;
}

bool ReadThroughCore::Impl::MayFill(const HashPair& keyhash, const HashPair& hash,
                                    long long startNs) const {
    return !m_options.dropRacedFills || !m_service || m_service->MayFill(keyhash, hash, startNs);
}

bool ReadThroughCore::Impl::MayServe(const HashPair& keyhash, const HashPair& hash,
                                     unsigned long long producedAt) const {
    if (producedAt + m_lifetimeTicks < UtcNow()) return false;
    return !m_service || m_service->MayServe(keyhash, hash, producedAt);
}

ExternalBytesPtr ReadThroughCore::Impl::ReadLayer(std::size_t index, const TString& externalKey) {
    try {
        if (ExternalBytesCache* direct = m_inline[index]) {
            auto* cache = static_cast<ExternalCache<TString, ExternalBytes>*>(direct);
            // The guarded load answers a refusal or a failure with nothing, as a miss: ask.
            bool failed = false;
            ExternalBytesPtr bytes = cache->LoadOnThisThread(externalKey, &failed);
            if (failed) ++m_counts.externalFailures;
            return bytes;
        }
        bool timedOut = false;
        ExternalBytesPtr bytes =
            m_options.layers[index]->TryLoad(externalKey, m_options.externalWaitMs, &timedOut);
        if (timedOut) ++m_counts.externalFailures;
        return bytes;
    } catch (...) {
        ++m_counts.externalFailures;
        return nullptr;
    }
}

bool ReadThroughCore::Impl::LoadFromLayers(const std::string& key, const HashPair& keyhash,
                                           Loaded& loaded) {
    if (m_options.layers.empty()) return false;
    const TString externalKey = ExternalKey(keyhash);
    for (std::size_t i = 0; i < m_options.layers.size(); ++i) {
        if (!m_options.layers[i]) continue;
        ExternalBytesPtr bytes = ReadLayer(i, externalKey);
        if (!bytes) continue;
        const std::optional<Envelope> envelope = OpenEnvelope(*bytes);
        if (!envelope || envelope->key != key ||
            !MayServe(keyhash, envelope->hash, envelope->producedAt)) {
            ++m_counts.rejected;
            continue;
        }
        AnyValue value;
        try {
            value = m_decode(envelope->payload, envelope->payloadSize);
        } catch (...) {
            value = nullptr;
        }
        if (!value) {
            ++m_counts.rejected;
            continue;
        }
        ++m_counts.layerHits[i];
        loaded.value = std::move(value);
        loaded.stored = std::move(bytes);
        loaded.hash = envelope->hash;
        loaded.producedAt = envelope->producedAt;
        loaded.layer = static_cast<int>(i);
        return true;
    }
    return false;
}

void ReadThroughCore::Impl::Seal(const std::string& key, const AnyValue& value,
                                 Loaded& loaded) const {
    const ExternalBytes payload = m_encode(value.get());
    loaded.hash = THash128(payload.data(), payload.size(), 0);
    loaded.stored = std::make_shared<ExternalBytes>(
        SealEnvelope(key, loaded.hash, loaded.producedAt, payload.data(), payload.size()));
}

unsigned int ReadThroughCore::Impl::Fill(const std::string& key, const HashPair& keyhash,
                                         const Loaded& loaded) {
    if (!m_memory) {
        // Nothing to file, but the others still hear of the content.
        if (m_service)
            m_service->OnAdded(keyhash, loaded.hash, loaded.producedAt, 0,
                               std::weak_ptr<ICoherentCache>());
        return 0;
    }
    auto [guid, replaced] = m_memory->AddEntryAndDeleteExistingEntriesItMatches(
        CacheHelpers::Payload(new HeldValue(key, loaded.value, loaded.hash, loaded.producedAt)),
        std::make_shared<KeyIs>(key));
    ReportRemoved(replaced);
    if (m_service) m_service->OnAdded(keyhash, loaded.hash, loaded.producedAt, guid, m_memory);
    const CacheHelpers::EntrySet evicted = m_memory->Purge();
    m_counts.evictions += static_cast<long long>(evicted.size());
    ReportRemoved(evicted);
    return guid;
}

void ReadThroughCore::Impl::DropFilled(unsigned int guid) {
    if (!m_memory || guid == 0) return;
    m_memory->SynchronizedIndexedCache::OnDirty({guid});
    if (m_service) m_service->OnRemoved(std::vector<unsigned int>{guid}, m_memory);
}

void ReadThroughCore::Impl::ReportRemoved(const CacheHelpers::EntrySet& entries) {
    if (!entries.empty() && m_service) m_service->OnRemoved(Ids(entries), m_memory);
}

void ReadThroughCore::Impl::StoreBelow(const TString& externalKey, const Loaded& loaded,
                                       std::size_t upTo) const {
    for (std::size_t i = 0; i < upTo && i < m_options.layers.size(); ++i) {
        if (!m_options.layers[i]) continue;
        // Background stores; their outcome shows in the layer's own log line and metrics.
        m_options.layers[i]->TryStore(externalKey, loaded.stored, loaded.loadMs, m_lifetimeSec);
    }
}

unsigned int ReadThroughCore::Impl::Set(const std::string& key, const AnyValue& value) {
    VEL_ASSERT(value);
    const HashPair keyhash = KeyHash(key);
    Loaded loaded;
    loaded.value = value;
    loaded.producedAt = UtcNow();
    Seal(key, value, loaded);
    const unsigned int guid = Fill(key, keyhash, loaded);
    StoreBelow(ExternalKey(keyhash), loaded, m_options.layers.size());
    return guid;
}

void ReadThroughCore::Impl::Invalidate(const std::string& key) {
    const HashPair keyhash = KeyHash(key);
    if (m_memory) ReportRemoved(m_memory->DeleteEntries(std::make_shared<KeyIs>(key)));
    // (0, 0) is the hash of no content: it differs from every value's.
    if (m_service)
        m_service->OnAdded(keyhash, HashPair{0, 0}, UtcNow(), 0, std::weak_ptr<ICoherentCache>());
}

ReadThroughCounters ReadThroughCore::Impl::Counters() const {
    ReadThroughCounters c;
    c.memoryHits = m_counts.memoryHits;
    for (std::size_t i = 0; i < m_options.layers.size(); ++i)
        c.layerHits.push_back(m_counts.layerHits[i]);
    c.loads = m_counts.loads;
    c.loadFailures = m_counts.loadFailures;
    c.coalescedWaits = m_counts.coalesced;
    c.waitTimeouts = m_counts.waitTimeouts;
    c.racedFillsDropped = m_counts.raced;
    c.lowerRejected = m_counts.rejected;
    c.externalFailures = m_counts.externalFailures;
    c.invalidations = m_memory ? m_memory->m_invalidated.load() : 0;
    c.evictions = m_counts.evictions;
    return c;
}

std::vector<std::pair<std::string, AnyValue>> ReadThroughCore::Impl::Held() const {
    std::vector<std::pair<std::string, AnyValue>> held;
    if (!m_memory) return held;
    for (const auto& entry : m_memory->GetEntries())
        if (const HeldValue* value = HeldOf(entry.GetData()))
            held.emplace_back(value->key, value->value);
    return held;
}

// ---- ReadThroughCore ----

ReadThroughCore::ReadThroughCore(ReadThroughOptions options, Encode encode, Decode decode,
                                 std::shared_ptr<RedisPubsub> service)
    : m_options(std::move(options)) {
    if (m_options.name.empty())
        throw VelmoraException("ReadThroughCache: the options name no cache (name is empty)");
    if (!encode || !decode)
        throw VelmoraException("ReadThroughCache: the codec needs both encode and decode");
    m_impl =
        std::make_shared<Impl>(m_options, std::move(encode), std::move(decode), std::move(service));
}

ReadThroughCore::~ReadThroughCore() = default;

ReadThroughCore::Result ReadThroughCore::Get(const std::string& key, const Loader& loader) {
    return m_impl->Get(key, loader);
}

unsigned int ReadThroughCore::Set(const std::string& key, const AnyValue& value) {
    return m_impl->Set(key, value);
}

void ReadThroughCore::Invalidate(const std::string& key) {
    m_impl->Invalidate(key);
}

ReadThroughCounters ReadThroughCore::GetCounters() const {
    ReadThroughCounters c = m_impl->Counters();
    Metrics::Scope scope("ReadThroughCache::Counters", 0);
    scope.Tag("name", TString::fromStdString(m_options.name));
    scope.Tag("memory-hits", static_cast<std::int64_t>(c.memoryHits));
    for (std::size_t i = 0; i < c.layerHits.size(); ++i)
        scope.Tag(TString::fromStdString("layer-" + std::to_string(i) + "-hits"),
                  static_cast<std::int64_t>(c.layerHits[i]));
    scope.Tag("loads", static_cast<std::int64_t>(c.loads));
    scope.Tag("load-failures", static_cast<std::int64_t>(c.loadFailures));
    scope.Tag("coalesced-waits", static_cast<std::int64_t>(c.coalescedWaits));
    scope.Tag("wait-timeouts", static_cast<std::int64_t>(c.waitTimeouts));
    scope.Tag("raced-fills-dropped", static_cast<std::int64_t>(c.racedFillsDropped));
    scope.Tag("lower-layer-rejected", static_cast<std::int64_t>(c.lowerRejected));
    scope.Tag("external-failures", static_cast<std::int64_t>(c.externalFailures));
    scope.Tag("invalidations", static_cast<std::int64_t>(c.invalidations));
    scope.Tag("evictions", static_cast<std::int64_t>(c.evictions));
    return c;
}

HashPair ReadThroughCore::KeyHash(const std::string& key) const {
    return m_impl->KeyHash(key);
}

TString ReadThroughCore::ExternalKey(const std::string& key) const {
    return m_impl->ExternalKey(m_impl->KeyHash(key));
}

std::vector<std::pair<std::string, ReadThroughCore::AnyValue>> ReadThroughCore::HeldValues() const {
    return m_impl->Held();
}

bool ReadThroughCore::Holds(unsigned int guid) const {
    return m_impl->Holds(guid);
}

}  // namespace velmora::caching
