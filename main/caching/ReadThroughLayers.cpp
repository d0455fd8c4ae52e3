#include <chrono>
#include <limits>
#include <random>
#include <thread>

#include "caching/CoherenceMessages.h"
#include "caching/ReadThroughImpl.h"
#include "caching/RedisExternalCache.h"
#include "caching/TagScope.h"
#include "metrics2/Metrics.h"
#include "velcore/AppOptions.h"
#include "velcoredata/DateTime.h"
#include "velcoreplatform/TLog.h"
#include "velsys/Exceptions.h"
#include "velsys/Hash.h"

namespace velmora::caching {

using namespace readthrough;

namespace readthrough {
thread_local bool t_fillRaced = false;
}  // namespace readthrough

namespace {

std::vector<unsigned int> Ids(const CacheHelpers::EntrySet& entries) {
    std::vector<unsigned int> ids;
    ids.reserve(entries.size());
    for (const auto& e : entries) ids.push_back(e.GetID());
    return ids;
}

std::string RandomToken() {
    thread_local std::mt19937_64 random{std::random_device{}()};
    return std::to_string(random()) + "-" + std::to_string(random());
}

constexpr unsigned long long kTicksPerSecond =
    1000ULL * static_cast<unsigned long long>(DateTimeSpan::kTicksPerMillisecond);
constexpr auto kFirstPoll = std::chrono::milliseconds(2);
constexpr auto kLongestPoll = std::chrono::milliseconds(50);

}  // namespace

ReadThroughCore::Impl::Impl(ReadThroughOptions options, ReadThroughCore::Encode encode,
                            ReadThroughCore::Decode decode, std::shared_ptr<RedisPubsub> service)
    : m_options(std::move(options)),
      m_encode(std::move(encode)),
      m_decode(std::move(decode)),
      m_service(std::move(service)),
      m_instanceToken(RandomToken()) {
    const bool byBytes =
        !m_options.memoryPolicy && m_options.frequencyPolicy && m_options.memoryBytes > 0;
    if (m_options.memoryPolicy || m_options.memoryEntries > 0 || byBytes) {
        const auto entries = static_cast<unsigned int>(std::max(0, m_options.memoryEntries));
        std::shared_ptr<CacheHelpers::IPolicy> policy = m_options.memoryPolicy;
        if (!policy && m_options.frequencyPolicy) {
            // The layer itself never purges: the frequency policy deletes what it evicts.
            const std::uint64_t expected = std::max<std::uint64_t>(entries, 64);
            m_frequency = std::make_unique<FrequencyState>(
                byBytes ? m_options.memoryBytes : entries, expected);
            m_largestEntry = byBytes ? std::max<std::uint64_t>(1, m_options.memoryBytes / 8)
                                     : std::numeric_limits<std::uint64_t>::max();
            policy = std::make_shared<CacheHelpers::MRUPolicy>(
                std::numeric_limits<unsigned long long>::max());
        } else if (!policy) {
            m_evictOver = entries;
            policy = std::make_shared<CacheHelpers::MRUPolicy>(entries - entries / 32);
        }
        m_memory = std::make_shared<MemoryLayer>(
            std::move(policy),
            m_frequency ? CacheHelpers::CreateBasicClock() : CacheHelpers::CreateSystemClock());
    }
    for (const ExternalCachePtr& layer : m_options.layers) {
        auto* direct = dynamic_cast<ExternalCache<TString, ExternalBytes>*>(layer.get());
        m_direct.push_back(direct);
    }
    m_counts.layerHits = std::make_unique<std::atomic<long long>[]>(m_options.layers.size() + 1);
    m_lifetimeSec = m_service ? std::min(m_service->ValueLifetimeSec(), m_options.valueLifetimeSec)
                              : m_options.valueLifetimeSec;
    m_lifetimeSec = std::max(1LL, m_lifetimeSec);
    m_lifetimeTicks = static_cast<unsigned long long>(m_lifetimeSec) * 1000ULL *
                      static_cast<unsigned long long>(DateTimeSpan::kTicksPerMillisecond);
    if (m_options.failSafe) m_failSafe = std::make_unique<FailSafeStore>(m_options.failSafeEntries);
    m_reachableAtStart = CheckReachable();
    if (m_options.audit)
        m_auditor =
            std::make_unique<Auditor>(m_options, m_encode, m_service,
                                      [this](const std::string& key) { return KeyHash(key); });
}

void ReadThroughCore::Impl::MaybeAudit(const std::string& key, const Result& result,
                                       const KeyLoader* keyLoader, const Loader* loader) {
    if (!m_auditor || !result.value || result.stale || !m_auditor->Sampled()) return;
    // A TryGet with no loader of the cache's has nothing to re-load with: not a sample.
    std::shared_ptr<const KeyLoader> own;
    if (!keyLoader && !loader && !(own = OwnLoader())) return;
    // Over this second's cap the caller pays no copy of the loader and no hand-off.
    if (!m_auditor->Admit()) return;
    OfferForAudit(key, result, std::move(own), keyLoader, loader);
}

bool ReadThroughCore::Impl::SampleForAudit(const Result& result) {
    return m_auditor && result.value && !result.stale && m_auditor->Sampled() && m_auditor->Admit();
}

void ReadThroughCore::Impl::OfferForAudit(const std::string& key, const Result& result,
                                          std::shared_ptr<const KeyLoader> own,
                                          const KeyLoader* keyLoader, const Loader* loader) {
    if (!own) own = OwnLoader();
    Loader reload;
    if (own)
        reload = [own, key] { return (*own)(key); };
    else if (keyLoader)
        reload = [load = *keyLoader, key] { return load(key); };
    else if (loader)
        reload = *loader;
    if (reload) m_auditor->Offer(key, result.value, std::move(reload));
}

std::shared_ptr<const ReadThroughCore::KeyLoader> ReadThroughCore::Impl::OwnLoader() const {
    TMutexLock lock(m_loaderMutex);
    return m_loader;
}

void ReadThroughCore::Impl::StopAuditor() {
    if (m_auditor) m_auditor->Stop();
}

void ReadThroughCore::Impl::CheckRunning() const {
    if (m_options.hostStopped && m_options.hostStopped->load(std::memory_order_acquire))
        throw VelmoraException("ReadThroughCache \"" + m_options.name + "\": its host was stopped");
}

bool ReadThroughCore::Impl::CheckReachable() const {
    std::string why = m_service ? m_service->Unreachable() : std::string();
    for (const ExternalCachePtr& layer : m_options.layers) {
        if (!why.empty()) break;
        if (const auto* redis = dynamic_cast<const RedisExternalCache*>(layer.get()))
            why = redis->Unreachable();
    }
    if (why.empty()) return true;
    const std::string text = "ReadThroughCache \"" + m_options.name + "\": " + why;
    if (!appoptions::CacheSynchronizationStartDegraded() && !m_options.startDegraded)
        throw VelmoraException(text);
    TLog::LogMessage(TLog::Error,
                     TString::fromStdString(text + "; starting degraded (loads from the source "
                                                   "until the server answers)"));
    return false;
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

std::string ReadThroughCore::Impl::LeaseName(const HashPair& keyhash) const {
    return ExternalKey(keyhash).toStdString();
}

std::size_t ReadThroughCore::Impl::SharedLayer() const {
    const int last = static_cast<int>(m_options.layers.size()) - 1;
    const int chosen = m_options.leaseLayer < 0 ? last : std::min(m_options.leaseLayer, last);
    return static_cast<std::size_t>(std::max(chosen, 0));
}

ReadThroughCore::Result ReadThroughCore::Impl::LoadAndFill(const std::string& key,
                                                           const Loader& loader, bool loaderOnly,
                                                           bool layersLooked) {
    const HashPair keyhash = KeyHash(key);
    Loaded loaded;
    loaded.generation = m_generation.load();  // before the start: see ApplyClear
    const long long startNs = RedisPubsub::FillClockNs();
    std::string token;  // the lease held, if any
    // Values in the layers may have changed unheard too (see Get).
    loaderOnly = loaderOnly || Deaf();
    bool found = !loaderOnly && !layersLooked && LoadFromLayers(key, keyhash, loaded);
    if (!found && !loaderOnly && m_options.leases && !m_options.layers.empty())
        found = WaitForLease(key, keyhash, loaded, token);
    if (!found) {
        try {
            RunLoader(key, loader, loaded);
        } catch (...) {
            if (!token.empty()) m_options.leases->Release(LeaseName(keyhash), token);
            throw;
        }
    }
    return FillAndStore(key, keyhash, loaded, startNs, token);
}

std::optional<ReadThroughCore::Result> ReadThroughCore::Impl::TryLayersHere(
    const std::string& key) {
    if (m_options.layers.empty() || Deaf()) return std::nullopt;
    const HashPair keyhash = KeyHash(key);
    Loaded loaded;
    loaded.generation = m_generation.load();
    const long long startNs = RedisPubsub::FillClockNs();
    if (!LoadFromLayers(key, keyhash, loaded)) return std::nullopt;
    return FillAndStore(key, keyhash, loaded, startNs, std::string());
}

ReadThroughCore::Result ReadThroughCore::Impl::FillAndStore(const std::string& key,
                                                            const HashPair& keyhash,
                                                            const Loaded& loaded, long long startNs,
                                                            const std::string& token) {
    const auto release = [&] {
        if (!token.empty()) m_options.leases->Release(LeaseName(keyhash), token);
    };
    Result result{
        loaded.value, loaded.layer < 0 ? ReadThroughSource::Loader : ReadThroughSource::External,
        loaded.layer, 0,
        false,        false,
        loaded.tags};
    // First verdict: a fill that already lost is neither announced nor stored.
    if (!MayFill(keyhash, loaded.hash, startNs) || !TagsAllow(loaded.tags)) {
        ++m_counts.racedFillsDropped;
        t_fillRaced = true;
        release();
        return result;
    }
    // Held but not answered until the second verdict: a hit in between could answer a value
    // older than a change whose arrival the hit's Get began after.
    result.guid = Fill(key, keyhash, loaded, startNs, true);
    // Second verdict: an announcement (or a tag invalidation) that arrived before the entry
    // was filed reached no record (nor the tag index); the entry goes, and the lower layers are
    // not written.
    if (!MayFill(keyhash, loaded.hash, startNs) || !TagsAllow(loaded.tags)) {
        ++m_counts.racedFillsDropped;
        t_fillRaced = true;
        DropFilled(key, result.guid);
        release();
        result.guid = 0;
        return result;
    }
    if (result.guid) m_memory->Keys().Show(KeyTable::SlotOf(key), result.guid);
    if (m_failSafe)
        m_failSafe->Keep(key, {loaded.value, loaded.hash, loaded.producedAt, loaded.tags});
    // While the service hears nothing the layers are left alone: what they would keep could
    // outlive a change whose announcement does not arrive.
    if (Deaf()) {
        release();
        return result;
    }
    const std::size_t below =
        loaded.layer < 0 ? m_options.layers.size() : static_cast<std::size_t>(loaded.layer);
    if (below == 0) {
        release();
        return result;
    }
    // The lease goes back once the shared layer holds the value; otherwise it lapses.
    if (StoreBelow(ExternalKey(keyhash, loaded.generation), loaded, below, !token.empty()))
        release();
    return result;
}

bool ReadThroughCore::Impl::WaitForLease(const std::string& key, const HashPair& keyhash,
                                         Loaded& loaded, std::string& token) {
    const std::string name = LeaseName(keyhash);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.loadWaitMs);
    auto pause = std::chrono::milliseconds(kFirstPoll);
    token = RandomToken();
    for (;;) {
        switch (
            m_options.leases->TryTake(name, token, std::chrono::milliseconds(m_options.leaseMs))) {
            case ILoadLeases::Outcome::Taken:
                ++m_counts.leasesTaken;
                // The last holder may have stored it between the look below and the lease.
                if (LoadFromLayers(key, keyhash, loaded, SharedLayer())) {
                    m_options.leases->Release(name, token);
                    token.clear();
                    return true;
                }
                return false;
            case ILoadLeases::Outcome::Unavailable:
                ++m_counts.leaseUnavailable;
                token.clear();
                return false;
            case ILoadLeases::Outcome::HeldElsewhere:
                break;
        }
        if (std::chrono::steady_clock::now() + pause >= deadline) {
            token.clear();  // waited long enough: load here
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2,
                         std::chrono::duration_cast<std::chrono::milliseconds>(kLongestPoll));
        if (LoadFromLayers(key, keyhash, loaded, SharedLayer())) {
            ++m_counts.leaseWaits;
            token.clear();
            return true;
        }
    }
}

void ReadThroughCore::Impl::RunLoader(const std::string& key, const Loader& loader,
                                      Loaded& loaded) {
    loaded.producedAt = UtcNow();
    const auto started = std::chrono::steady_clock::now();
    // Before the loader reads anything: what it reads holds every change heard of by now.
    const TagStamp under = m_tags ? m_tags->Watermark() : TagStamp{};
    ++m_counts.loads;
    std::vector<std::string> tags;
    try {
        TagScope scope;
        loaded.value = loader();
        tags = scope.Tags();
    } catch (...) {
        ++m_counts.loadFailures;
        throw;
    }
    loaded.tags = TagsOf(std::move(tags), under, key);
    loaded.layer = -1;
    loaded.loadMs = static_cast<unsigned int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - started)
                                                  .count());
    Seal(key, loaded.value, loaded);
}

bool ReadThroughCore::Impl::MayFill(const HashPair& keyhash, const HashPair& hash,
                                    long long startNs) const {
    // A clear applied since the load started: what it found may be what was cleared.
    if (startNs <= m_clearedAtNs.load()) return false;
    return !m_options.dropRacedFills || !m_service || m_service->MayFill(keyhash, hash, startNs);
}

bool ReadThroughCore::Impl::MayServe(const HashPair& keyhash, const HashPair& hash,
                                     unsigned long long producedAt,
                                     unsigned int lifetimeSec) const {
    if (producedAt + LifetimeTicks(lifetimeSec) < UtcNow()) return false;
    return !m_service || m_service->MayServe(keyhash, hash, producedAt);
}

ExternalBytesPtr ReadThroughCore::Impl::ReadLayer(std::size_t index, const TString& externalKey) {
    try {
        // The guarded load answers a refusal or a failure with nothing, as a miss: ask.
        ExternalCache<TString, ExternalBytes>* direct = m_direct[index];
        if (direct && m_options.inlineExternalLoads) {
            bool failed = false;
            ExternalBytesPtr bytes = direct->LoadOnThisThread(externalKey, &failed);
            if (failed) ++m_counts.externalFailures;
            return bytes;
        }
        if (direct) {
            auto future = direct->TryLoadWithOutcome(externalKey);
            if (future.WaitFor(std::chrono::milliseconds(m_options.externalWaitMs)) !=
                AsyncTask::FutureStatus::Ready) {
                ++m_counts.externalFailures;
                return nullptr;
            }
            const auto outcome = future.Get();
            if (outcome.failed) ++m_counts.externalFailures;
            return outcome.value;
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

void ReadThroughCore::Impl::NoteSignatureRejected(std::size_t layer, EnvelopeVerdict verdict) {
    const long long count = ++m_counts.signatureRejected;
    const long long now = SteadyNowNs();
    long long last = m_counts.lastSignatureLogNs.load();
    constexpr long long kLogEveryNs = 60LL * 1000000000LL;
    if ((last != 0 && now - last < kLogEveryNs) ||
        !m_counts.lastSignatureLogNs.compare_exchange_strong(last, now))
        return;
    const long long since = count - m_counts.signatureRejectedLogged.exchange(count);
    TLog::LogMessage(
        TLog::Warn,
        TFormatString("ReadThroughCache %1: a value in layer %2 was refused: %3 (%4 refused "
                      "since the last such line). Values stored before signing was turned on, "
                      "or under a key no longer listed, are loaded anew.",
                      TString::fromStdString(m_options.name), static_cast<int>(layer),
                      verdict == EnvelopeVerdict::Unsigned ? "it carries no signature"
                                                           : "its signature does not match",
                      since));
}

bool ReadThroughCore::Impl::AcceptFromLayer(std::size_t index, const std::string& key,
                                            const HashPair& keyhash, ExternalBytesPtr bytes,
                                            Loaded& loaded) {
    Envelope envelope;
    const EnvelopeVerdict verdict =
        OpenEnvelope(*bytes, m_options.name, m_options.signingKeys, envelope);
    if (verdict == EnvelopeVerdict::Unsigned || verdict == EnvelopeVerdict::BadTag)
        NoteSignatureRejected(index, verdict);
    if (verdict != EnvelopeVerdict::Good || envelope.key != key ||
        !MayServe(keyhash, envelope.hash, envelope.producedAt, envelope.lifetimeSec)) {
        ++m_counts.lowerRejected;
        return false;
    }
    std::shared_ptr<const CacheTagSet> tags;
    if (!envelope.tags.names.empty() && m_tags) {
        tags = std::make_shared<const CacheTagSet>(std::move(envelope.tags));
        if (!TagsAllow(tags)) {
            ++m_counts.lowerRejected;
            return false;
        }
    }
    AnyValue value;
    try {
        value = m_decode(envelope.payload, envelope.payloadSize);
    } catch (...) {
        value = nullptr;
    }
    if (!value) {
        ++m_counts.lowerRejected;
        return false;
    }
    ++m_counts.layerHits[index];
    loaded.value = std::move(value);
    loaded.stored = std::move(bytes);
    loaded.hash = envelope.hash;
    loaded.producedAt = envelope.producedAt;
    loaded.lifetimeSec = envelope.lifetimeSec;
    loaded.layer = static_cast<int>(index);
    loaded.heardAtNs = m_service ? m_service->LastHeardNs() : 0;
    loaded.tags = std::move(tags);
    return true;
}

bool ReadThroughCore::Impl::LoadFromLayers(const std::string& key, const HashPair& keyhash,
                                           Loaded& loaded, std::size_t fromLayer) {
    if (m_options.layers.empty()) return false;
    const TString externalKey = ExternalKey(keyhash, loaded.generation);
    for (std::size_t i = fromLayer; i < m_options.layers.size(); ++i) {
        if (!m_options.layers[i]) continue;
        ExternalBytesPtr bytes = ReadLayer(i, externalKey);
        if (bytes && AcceptFromLayer(i, key, keyhash, std::move(bytes), loaded)) return true;
    }
    return false;
}

std::vector<ExternalBytesPtr> ReadThroughCore::Impl::ReadLayerMany(
    std::size_t index, const std::vector<TString>& externalKeys) {
    ExternalCache<TString, ExternalBytes>* direct = m_direct[index];
    if (!direct || !m_options.inlineExternalLoads) {
        std::vector<ExternalBytesPtr> values;
        values.reserve(externalKeys.size());
        for (const TString& externalKey : externalKeys)
            values.push_back(ReadLayer(index, externalKey));
        return values;
    }
    try {
        std::vector<char> failed;
        std::vector<ExternalBytesPtr> values = direct->LoadManyOnThisThread(externalKeys, &failed);
        for (const char f : failed) m_counts.externalFailures += f ? 1 : 0;
        return values;
    } catch (...) {
        m_counts.externalFailures += static_cast<long long>(externalKeys.size());
        return std::vector<ExternalBytesPtr>(externalKeys.size());
    }
}

std::vector<std::optional<ReadThroughCore::Result>> ReadThroughCore::Impl::TryLayersHereMany(
    const std::vector<std::string>& keys) {
    std::vector<std::optional<Result>> results(keys.size());
    if (m_options.layers.empty() || Deaf()) return results;
    const long long generation = m_generation.load();  // before the start: see ApplyClear
    const long long startNs = RedisPubsub::FillClockNs();
    std::vector<HashPair> keyhashes;
    keyhashes.reserve(keys.size());
    for (const std::string& key : keys) keyhashes.push_back(KeyHash(key));
    std::vector<Loaded> loaded(keys.size());
    std::vector<char> found(keys.size(), 0);
    for (std::size_t layer = 0; layer < m_options.layers.size(); ++layer) {
        if (!m_options.layers[layer]) continue;
        std::vector<std::size_t> asked;
        std::vector<TString> externalKeys;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (found[k]) continue;
            asked.push_back(k);
            externalKeys.push_back(ExternalKey(keyhashes[k], generation));
        }
        if (asked.empty()) break;
        std::vector<ExternalBytesPtr> values = ReadLayerMany(layer, externalKeys);
        for (std::size_t a = 0; a < asked.size(); ++a) {
            const std::size_t k = asked[a];
            loaded[k].generation = generation;
            if (values[a] &&
                AcceptFromLayer(layer, keys[k], keyhashes[k], std::move(values[a]), loaded[k]))
                found[k] = 1;
        }
    }
    for (std::size_t k = 0; k < keys.size(); ++k)
        if (found[k])
            results[k] = FillAndStore(keys[k], keyhashes[k], loaded[k], startNs, std::string());
    return results;
}

void ReadThroughCore::Impl::Seal(const std::string& key, const AnyValue& value,
                                 Loaded& loaded) const {
    const ExternalBytes payload = m_encode(value.get());
    loaded.hash = THash128(payload.data(), payload.size(), 0);
    const std::string* signingKey =
        m_options.signingKeys.empty() ? nullptr : &m_options.signingKeys.front();
    loaded.stored = std::make_shared<ExternalBytes>(
        SealEnvelope(m_options.name, key, loaded.hash, loaded.producedAt, payload.data(),
                     payload.size(), signingKey, loaded.lifetimeSec, loaded.tags.get()));
}

unsigned int ReadThroughCore::Impl::Fill(const std::string& key, const HashPair& keyhash,
                                         const Loaded& loaded, long long startNs, bool pending) {
    if (!m_memory) {
        // Nothing to file, but the others still hear of the content.
        Announce(keyhash, loaded, 0, startNs);
        return 0;
    }
    const std::uint64_t weight = WeightOf(loaded);
    if (m_frequency && weight > m_largestEntry) {
        // Too large for the budget: not held (what memory held of the key goes, it is older),
        // but the others still hear of the content.
        ++m_counts.tooLargeForMemory;
        ReportRemoved(m_memory->Keys().Remove(KeyTable::SlotOf(key), 0, *m_memory));
        Announce(keyhash, loaded, 0, startNs);
        return 0;
    }
    const KeyTable::Slot policyKey = KeyTable::SlotOf(key);
    // A value from a layer was stored before this load began, perhaps before a silence that
    // began since the service last heard: never held through one as if loaded in it.
    const long long freshNs = loaded.layer >= 0 ? std::min(startNs, loaded.heardAtNs) : startNs;
    auto [guid, replaced] =
        m_memory->Keys().Replace(policyKey,
                                 CacheHelpers::Payload(new HeldValue(
                                     key, loaded.value, loaded.hash, loaded.producedAt, freshNs,
                                     LifetimeTicks(loaded.lifetimeSec), policyKey, loaded.tags)),
                                 *m_memory, pending);
    ReportRemoved(replaced);
    // Indexed before the fill's second verdict: an invalidation of a tag either finds the entry
    // here or is in the table that verdict reads.
    if (loaded.tags && m_tagIndex)
        m_tagIndex->Add(*loaded.tags, policyKey, guid, m_service ? nullptr : &m_memory->Keys());
    Announce(keyhash, loaded, guid, startNs);
    if (!m_frequency) {
        Evict();
        return guid;
    }
    // Not admitted: the entry went again at once (and was reported so); the value is uncached.
    return AdmitToPolicy(policyKey, weight) ? guid : 0;
}

std::uint64_t ReadThroughCore::Impl::WeightOf(const Loaded& loaded) const {
    if (!m_frequency || m_options.memoryBytes == 0) return 1;
    return (loaded.stored ? loaded.stored->size() : 0) + kHeldEntryBytes;
}

bool ReadThroughCore::Impl::AdmitToPolicy(std::uint64_t policyKey, std::uint64_t weight) {
    // The list borrows the room the thread's last fill left (a fill allocates nothing for it);
    // a fill within this one (from a value's destructor) finds none and makes its own.
    thread_local std::vector<FrequencyPolicy::Key> spare;
    std::vector<FrequencyPolicy::Key> evicted;
    evicted.swap(spare);
    evicted.clear();
    {
        std::lock_guard<std::mutex> lock(m_frequency->mutex);
        m_frequency->DrainHits();
        // A key filled again (after a change, an expiry or a replacement) is a use of the key.
        m_frequency->policy.OnMiss(policyKey, weight, evicted);
    }
    // Deleted after the policy's lock, through the key table: what each evicted key holds then
    // goes (a key the policy holds but no entry of is a little room unused until it is evicted
    // again; an entry the policy does not hold cannot stay, as every fill files its key).
    bool admitted = true;
    for (const FrequencyPolicy::Key gone : evicted) {
        if (gone == policyKey) admitted = false;
        const CacheHelpers::EntrySet removed = m_memory->Keys().Remove(gone, 0, *m_memory);
        m_counts.evictions += static_cast<long long>(removed.size());
        ReportRemoved(removed);
    }
    if (evicted.capacity() > spare.capacity()) spare.swap(evicted);
    return admitted;
}

void ReadThroughCore::Impl::Evict() {
    // The built-in policy is run only once the layer is over its size, and then evicts a
    // thirty-second of it at once: each run takes a snapshot of the whole layer, which after
    // every fill would make a fill cost as much as the layer is large.
    if (m_evictOver != 0 && m_memory->GetEntryCount() <= m_evictOver) return;
    const CacheHelpers::EntrySet evicted = m_memory->Purge();
    m_memory->Dropped(evicted);
    m_counts.evictions += static_cast<long long>(evicted.size());
    ReportRemoved(evicted);
}

void ReadThroughCore::Impl::Announce(const HashPair& keyhash, const Loaded& loaded,
                                     unsigned int guid, long long startNs) {
    if (!m_service) return;
    std::weak_ptr<ICoherentCache> cache;
    if (guid) cache = m_memory;
    m_service->OnLoaded(keyhash, loaded.hash, loaded.producedAt, guid, std::move(cache),
                        {m_options.skipKnownFills, m_options.dropHeldOnArrival,
                         m_options.dropRacedFills ? startNs : 0});
}

void ReadThroughCore::Impl::DropFilled(const std::string& key, unsigned int guid) {
    if (!m_memory || guid == 0) return;
    // Reported only if still held: another Get's fill of the key, an invalidation or the policy
    // may have removed it and reported it already, and a second report of a removal the
    // service has not filed yet is a broken pairing.
    ReportRemoved(m_memory->Keys().Remove(KeyTable::SlotOf(key), guid, *m_memory));
}

void ReadThroughCore::Impl::ReportRemoved(const CacheHelpers::EntrySet& entries) {
    if (!entries.empty() && m_service) m_service->OnRemoved(Ids(entries), m_memory);
}

bool ReadThroughCore::Impl::StoreBelow(const TString& externalKey, const Loaded& loaded,
                                       std::size_t upTo, bool waitShared) const {
    bool sharedStored = true;
    for (std::size_t i = 0; i < upTo && i < m_options.layers.size(); ++i) {
        if (!m_options.layers[i]) continue;
        // Background stores; their outcome shows in the layer's own log line and metrics.
        AsyncTask::Future<bool> stored = m_options.layers[i]->TryStore(
            externalKey, loaded.stored, loaded.loadMs,
            loaded.lifetimeSec
                ? static_cast<long long>(LifetimeTicks(loaded.lifetimeSec) / kTicksPerSecond)
                : m_lifetimeSec);
        if (waitShared && i == SharedLayer()) sharedStored = stored.Get();
    }
    return sharedStored;
}

unsigned int ReadThroughCore::Impl::Set(const std::string& key, const AnyValue& value,
                                        long long lifetimeSec,
                                        const std::vector<std::string>* tags) {
    VEL_ASSERT(value);
    if (lifetimeSec < 0)
        throw VelmoraException("ReadThroughCache \"" + m_options.name +
                               "\": Set with a negative lifetime");
    const HashPair keyhash = KeyHash(key);
    Loaded loaded;
    loaded.value = value;
    loaded.generation = m_generation.load();
    loaded.producedAt = UtcNow();
    // The envelope carries the lifetime the readers apply (they cap it at their horizon too).
    if (lifetimeSec > 0)
        loaded.lifetimeSec = static_cast<unsigned int>(
            LifetimeTicks(static_cast<unsigned int>(std::min<long long>(lifetimeSec, UINT32_MAX))) /
            kTicksPerSecond);
    if (tags && !tags->empty()) {
        if (!m_tags)
            throw VelmoraException("ReadThroughCache \"" + m_options.name +
                                   "\": Set with tags while tags are off "
                                   "(ReadThroughOptions::useTags)");
        loaded.tags = TagsOf(*tags, m_tags->Watermark(), key);
    }
    Seal(key, value, loaded);
    const unsigned int guid = Fill(key, keyhash, loaded, SteadyNowNs());
    if (m_failSafe)
        m_failSafe->Keep(key, {loaded.value, loaded.hash, loaded.producedAt, loaded.tags});
    // Not while the service hears nothing (as for fills): the announcement waits to be sent.
    if (!Deaf())
        StoreBelow(ExternalKey(keyhash, loaded.generation), loaded, m_options.layers.size(), false);
    return guid;
}

void ReadThroughCore::Impl::Invalidate(const std::string& key) {
    const HashPair keyhash = KeyHash(key);
    if (m_memory) ReportRemoved(m_memory->Keys().Remove(KeyTable::SlotOf(key), 0, *m_memory));
    // (0, 0) is the hash of no content: it differs from every value's.
    if (m_service)
        m_service->OnAdded(keyhash, HashPair{0, 0}, UtcNow(), 0, std::weak_ptr<ICoherentCache>());
}

std::shared_ptr<const ReadThroughCore::KeyLoader> ReadThroughCore::Impl::DefaultLoader() const {
    {
        TMutexLock lock(m_loaderMutex);
        if (m_loader) return m_loader;
    }
    throw VelmoraException("ReadThroughCache \"" + m_options.name +
                           "\": Get(key) has no loader to run: set one with SetLoader, or pass "
                           "one to Get");
}

void ReadThroughCore::Impl::SetLoader(KeyLoader loader) {
    auto shared = loader ? std::make_shared<const KeyLoader>(std::move(loader)) : nullptr;
    TMutexLock lock(m_loaderMutex);
    m_loader.swap(shared);
    // The loader replaced goes once the lock is released (it may hold host objects).
}

ReadThroughCounters ReadThroughCore::Impl::Counters() const {
    ReadThroughCounters c;
#define VELCACHE_READ_THROUGH_COPY(member, tag, help) c.member = m_counts.member;
    VELCACHE_READ_THROUGH_COUNTS(VELCACHE_READ_THROUGH_COPY)
#undef VELCACHE_READ_THROUGH_COPY
    c.memoryHits += m_memoryHits.Sum();
    c.invalidations = m_memory ? m_memory->m_invalidated.load() : 0;
    for (std::size_t i = 0; i < m_options.layers.size(); ++i)
        c.layerHits.push_back(m_counts.layerHits[i]);
    if (m_auditor) c.audit = m_auditor->Figures();
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
                                 std::shared_ptr<RedisPubsub> service) {
    if (options.name.empty())
        throw VelmoraException("ReadThroughCache: the options name no cache (name is empty)");
    if (!encode || !decode)
        throw VelmoraException("ReadThroughCache: the codec needs both encode and decode");
    m_impl = std::make_shared<Impl>(std::move(options), std::move(encode), std::move(decode),
                                    std::move(service));
    m_impl->StartClearChannel();
    m_impl->StartTags();
}

ReadThroughCore::~ReadThroughCore() {
    m_impl->StopAuditor();
    m_impl->WaitForBackground();
    m_impl->StopTags();
    m_impl->StopClearChannel();
}

ReadThroughCore::Result ReadThroughCore::Get(const std::string& key, const Loader& loader) {
    m_impl->CheckRunning();
    Result result = m_impl->Get(key, loader);
    TagScope::NoteRead(result.tags.get());
    m_impl->MaybeAudit(key, result, nullptr, &loader);
    return result;
}

ReadThroughCore::Result ReadThroughCore::Get(const std::string& key) {
    m_impl->CheckRunning();
    std::shared_ptr<const KeyLoader> loader = m_impl->DefaultLoader();
    std::optional<Result> held = m_impl->AnswerFromMemory(key);
    Result result =
        held ? std::move(*held) : m_impl->Get(key, [loader, key] { return (*loader)(key); });
    TagScope::NoteRead(result.tags.get());
    m_impl->MaybeAudit(key, result, loader.get(), nullptr);
    return result;
}

std::optional<ReadThroughCore::Result> ReadThroughCore::GetFromMemory(const std::string& key) {
    m_impl->CheckRunning();
    return m_impl->AnswerFromMemory(key);
}

bool ReadThroughCore::VisitFromMemory(const std::string& key,
                                      void (*visit)(const void* value, void* context),
                                      void* context) {
    m_impl->CheckRunning();
    return m_impl->VisitFromMemory(key, visit, context);
}

bool ReadThroughCore::SampleForAudit(const Result& result) {
    return m_impl->SampleForAudit(result);
}

void ReadThroughCore::Audit(const std::string& key, const Result& result, const Loader& loader) {
    m_impl->OfferForAudit(key, result, nullptr, nullptr, &loader);
}

std::vector<ReadThroughCore::Result> ReadThroughCore::GetMany(const std::vector<std::string>& keys,
                                                              KeyLoader loader) {
    m_impl->CheckRunning();
    if (!loader) throw VelmoraException("ReadThroughCache::GetMany: the loader is empty");
    auto shared = std::make_shared<const KeyLoader>(std::move(loader));
    std::vector<Result> results = m_impl->GetMany(keys, shared);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        TagScope::NoteRead(results[i].tags.get());
        m_impl->MaybeAudit(keys[i], results[i], shared.get(), nullptr);
    }
    return results;
}

std::vector<ReadThroughCore::Result> ReadThroughCore::GetMany(
    const std::vector<std::string>& keys) {
    m_impl->CheckRunning();
    const std::shared_ptr<const KeyLoader> loader = m_impl->DefaultLoader();
    std::vector<Result> results = m_impl->GetMany(keys, loader);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        TagScope::NoteRead(results[i].tags.get());
        m_impl->MaybeAudit(keys[i], results[i], loader.get(), nullptr);
    }
    return results;
}

void ReadThroughCore::SetLoader(KeyLoader loader) {
    m_impl->SetLoader(std::move(loader));
}

ReadThroughCore::Result ReadThroughCore::TryGet(const std::string& key) {
    m_impl->CheckRunning();
    Result result = m_impl->TryGet(key);
    TagScope::NoteRead(result.tags.get());
    m_impl->MaybeAudit(key, result, nullptr, nullptr);
    return result;
}

unsigned int ReadThroughCore::Set(const std::string& key, const AnyValue& value) {
    m_impl->CheckRunning();
    return m_impl->Set(key, value);
}

unsigned int ReadThroughCore::Set(const std::string& key, const AnyValue& value,
                                  std::chrono::seconds lifetime) {
    m_impl->CheckRunning();
    return m_impl->Set(key, value, lifetime.count());
}

unsigned int ReadThroughCore::Set(const std::string& key, const AnyValue& value,
                                  std::chrono::seconds lifetime,
                                  const std::vector<std::string>& tags) {
    m_impl->CheckRunning();
    if (lifetime.count() < 0)
        throw VelmoraException("ReadThroughCache \"" + Options().name +
                               "\": Set with a negative lifetime");
    return m_impl->Set(key, value, lifetime.count(), &tags);
}

void ReadThroughCore::Invalidate(const std::string& key) {
    m_impl->CheckRunning();
    m_impl->Invalidate(key);
}

void ReadThroughCore::InvalidateTag(const std::string& tag) {
    m_impl->CheckRunning();
    m_impl->InvalidateTag(tag);
}

void ReadThroughCore::Clear() {
    m_impl->CheckRunning();
    m_impl->Clear();
}

const ReadThroughOptions& ReadThroughCore::Options() const {
    return m_impl->Options();
}

namespace {

constexpr const char* kCountersScope = "ReadThroughCache::Counters";

// The auditor's figures as GetCounters tags them.
struct AuditFigure {
    const char* tag;
    Metrics::FigureKind kind;
    const char* help;
    double (*read)(const ReadThroughAuditFigures&);
    bool fraction = false;  // tagged as a double; the others as whole numbers
};
using K = Metrics::FigureKind;
using A = ReadThroughAuditFigures;
constexpr AuditFigure kAuditFigures[] = {
    {"audit-samples", K::Counter, "Answers the auditor sampled.",
     [](const A& a) { return double(a.samples); }},
    {"audit-dropped", K::Counter, "Samples not checked: queue full, over the cap, waited too long.",
     [](const A& a) { return double(a.dropped); }},
    {"audit-reloads", K::Counter, "Loader runs of the auditor.",
     [](const A& a) { return double(a.reloads); }},
    {"audit-undecided", K::Counter, "Samples checked but not judged: a gap, a silence, a failure.",
     [](const A& a) { return double(a.undecided); }},
    {"audit-consistent", K::Counter, "Samples equal to the source, or a race within the window.",
     [](const A& a) { return double(a.consistent); }},
    {"audit-inconsistent", K::Counter,
     "Samples older than a change heard of more than the window before.",
     [](const A& a) { return double(a.inconsistent); }},
    {"audit-unannounced", K::Counter, "Inconsistent samples whose change nobody announced.",
     [](const A& a) { return double(a.unannounced); }},
    {"audit-age-p50-ms", K::Gauge, "p50 of how late inconsistent answers were, ms; -1: none.",
     [](const A& a) { return double(a.ageP50Ms); }},
    {"audit-age-p99-ms", K::Gauge, "p99 of how late inconsistent answers were, ms; -1: none.",
     [](const A& a) { return double(a.ageP99Ms); }},
    {"audit-age-max-ms", K::Gauge, "The latest an inconsistent answer was, ms; -1: none.",
     [](const A& a) { return double(a.ageMaxMs); }},
    {"audit-nines", K::Gauge, "-log10 of the inconsistent share of the decided samples.",
     [](const A& a) { return a.nines; }, true},
    {"audit-nines-at-least", K::Gauge, "1 when audit-nines is a lower bound (none inconsistent).",
     [](const A& a) { return a.ninesAtLeast ? 1.0 : 0.0; }},
};

std::string LayerHitsTag(std::size_t layer) {
    return "layer-" + std::to_string(layer) + "-hits";
}

// Tells the metrics facility what each figure of the counters scope is, once per process (and
// the hits of each lower layer as far as `layers`).
void DescribeCounters(std::size_t layers) {
    static const bool described = [] {
#define VELCACHE_READ_THROUGH_DESCRIBE(member, tag, help) \
    Metrics::DescribeFigure(kCountersScope, tag, K::Counter, help);
        VELCACHE_READ_THROUGH_COUNTS(VELCACHE_READ_THROUGH_DESCRIBE)
#undef VELCACHE_READ_THROUGH_DESCRIBE
        for (const AuditFigure& f : kAuditFigures)
            Metrics::DescribeFigure(kCountersScope, f.tag, f.kind, f.help);
        return true;
    }();
    (void)described;
    static std::atomic<std::size_t> layersDescribed{0};
    for (std::size_t i = layersDescribed.load(); i < layers; ++i)
        Metrics::DescribeFigure(kCountersScope, LayerHitsTag(i), K::Counter,
                                "Answers from this lower layer (0: the first below memory).");
    std::size_t known = layersDescribed.load();
    while (known < layers && !layersDescribed.compare_exchange_weak(known, layers)) {
    }
}

}  // namespace

ReadThroughCounters ReadThroughCore::GetCounters() const {
    const ReadThroughCounters c = m_impl->Counters();
    DescribeCounters(c.layerHits.size());
    Metrics::Scope scope(kCountersScope, 0);
    const auto tag = [&scope](const char* name, auto value) {
        if constexpr (std::is_floating_point_v<decltype(value)>)
            scope.Tag(TString(name), static_cast<double>(value));
        else
            scope.Tag(TString(name), static_cast<std::int64_t>(value));
    };
    scope.Tag("name", TString::fromStdString(Options().name));
#define VELCACHE_READ_THROUGH_TAG(member, name, help) tag(name, c.member);
    VELCACHE_READ_THROUGH_COUNTS(VELCACHE_READ_THROUGH_TAG)
#undef VELCACHE_READ_THROUGH_TAG
    for (std::size_t i = 0; i < c.layerHits.size(); ++i)
        scope.Tag(TString::fromStdString(LayerHitsTag(i)),
                  static_cast<std::int64_t>(c.layerHits[i]));
    if (Options().audit)
        for (const AuditFigure& f : kAuditFigures) {
            if (f.fraction)
                tag(f.tag, f.read(c.audit));
            else
                tag(f.tag, static_cast<long long>(f.read(c.audit)));
        }
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
