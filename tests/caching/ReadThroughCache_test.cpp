// The read-through cache and derived results in one process: the coherence service is a test
// instance whose announcements loop back at once, so "another process" announcing a change is
// a second cache of the same name, and every race is played out step by step.
#include "caching/ReadThroughCache.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "ExternalCacheTestSupport.h"
#include "RedisPubsubTestDoubles.h"
#include "caching/CacheTags.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/CoherenceMessages.h"
#include "caching/DerivedResultCache.h"
#include "caching/DiskExternalCache.h"
#include "velcore/ThreadContext.h"
#include "velcoredata/DateTime.h"
#include "velsys/Hash.h"

using namespace velmora::caching;
using velmora::appoptions::ScopedOverride;
using veltest::LoopbackManager;

namespace {

using Cache = ReadThroughCache<std::string>;

Cache::Codec TextCodec() {
    return {[](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
            [](const unsigned char* data, std::size_t size) -> Cache::ValuePtr {
                std::string text(reinterpret_cast<const char*>(data), size);
                if (text == "unreadable") return nullptr;
                return std::make_shared<const std::string>(std::move(text));
            }};
}

// An external layer over a map that outlives it in the functions it hands out; stores land
// before TryStore returns (deferred tasks run when their future is released).
class MapLayer : public veltest::ScriptedCache {
public:
    MapLayer() : ScriptedCache(0, false) {
        store = [s = m_store](TString key, TString, ExternalBytesPtr value, long long ttlSec) {
            s->Put(key, *value);
            std::lock_guard<std::mutex> lock(s->mutex);
            s->lastTtlSec = ttlSec;
        };
        load = [s = m_store](TString key, TString) { return s->Find(key); };
        drop = [s = m_store](TString key, TString) { s->Put(key, std::nullopt); };
    }
    std::string Get(const TString& key) {
        const auto value = m_store->Find(key);
        return value ? std::string(value->begin(), value->end()) : "<none>";
    }
    void Put(const TString& key, ExternalBytes bytes) { m_store->Put(key, std::move(bytes)); }
    // The time-to-live the last store asked for.
    long long LastTtlSec() {
        std::lock_guard<std::mutex> lock(m_store->mutex);
        return m_store->lastTtlSec;
    }

private:
    struct Map {
        std::mutex mutex;
        std::map<std::string, ExternalBytes> values;
        long long lastTtlSec = 0;
        ExternalBytesPtr Find(const TString& key) {
            std::lock_guard<std::mutex> lock(mutex);
            const auto it = values.find(key.toStdString());
            return it == values.end() ? nullptr : std::make_shared<ExternalBytes>(it->second);
        }
        void Put(const TString& key, std::optional<ExternalBytes> bytes) {
            std::lock_guard<std::mutex> lock(mutex);
            if (bytes)
                values[key.toStdString()] = std::move(*bytes);
            else
                values.erase(key.toStdString());
        }
    };
    std::shared_ptr<Map> m_store = std::make_shared<Map>();
};

// The stored form of a value, written by hand: "VRT1", data hash, production time, key.
ExternalBytes Envelope(const std::string& key, const std::string& value,
                       unsigned long long producedAt) {
    const auto hash = THash128(value.data(), value.size(), 0);
    ExternalBytes out{'V', 'R', 'T', '1'};
    const auto put = [&](unsigned long long v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    put(hash.first, 8);
    put(hash.second, 8);
    put(producedAt, 8);
    put(key.size(), 4);
    out.insert(out.end(), key.begin(), key.end());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

unsigned long long Now() {
    return DateTime::UtcNow().GetRepresentation();
}
constexpr unsigned long long kSecondTicks = 10000000ULL;

class ReadThrough : public ::testing::Test {
protected:
    void SetUp() override {
        m_holder.ResetForTest();
        m_holder.Initialize(
            {CascadeInvalidatorAggregator::TryGetSingleton(), nullptr, nullptr, nullptr});
        CascadeInvalidatorAggregator::TryGetSingleton()->ResetForTest();
    }
    void TearDown() override {
        CascadeInvalidatorAggregator::TryGetSingleton()->ResetForTest();
        m_holder.ResetForTest();
    }

    std::shared_ptr<RedisPubsub> Service() {
        return RedisPubsub::CreateTestInstance("rt.", m_manager,
                                               [this](const TString& c, const TString& m) {
                                                   ++m_published;
                                                   m_manager.Publish(c, m);
                                               });
    }
    ReadThroughOptions Options(int memoryEntries = 100, std::vector<ExternalCachePtr> layers = {}) {
        ReadThroughOptions o;
        o.name = "answers";
        o.memoryEntries = memoryEntries;
        o.layers = std::move(layers);
        return o;
    }
    static std::function<std::string()> Returns(std::string value, int* runs = nullptr) {
        return [value, runs] {
            if (runs) ++*runs;
            return value;
        };
    }

    veltest::HostScope m_host;
    ScopedOverride m_sync{"SyncCaches", true};
    velmora::ScopedThreadContext m_context;
    ICascadeInvalidatorHolder& m_holder = CascadeInvalidatorHolderFactory::GetInstance();
    LoopbackManager m_manager;
    int m_published = 0;
};

// ---- the layers ----

TEST_F(ReadThrough, AnswersFromMemoryThenLayersThenLoaderAndFillsEveryLayerAbove) {
    auto disk = std::make_shared<MapLayer>(), shared = std::make_shared<MapLayer>();
    auto service = Service();
    Cache cache(Options(100, {disk, shared}), TextCodec(), service);
    int runs = 0;

    auto first = cache.Get("k", Returns("v1", &runs));
    EXPECT_EQ(first.source, ReadThroughSource::Loader);
    EXPECT_EQ(*first.value, "v1");
    EXPECT_NE(first.guid, 0u);
    // A loaded value goes to every layer, in its envelope.
    const TString key = cache.Core().ExternalKey("k");
    EXPECT_EQ(disk->Get(key), shared->Get(key));
    EXPECT_NE(disk->Get(key).find("v1"), std::string::npos);

    auto again = cache.Get("k", Returns("never", &runs));
    EXPECT_EQ(again.source, ReadThroughSource::Memory);
    EXPECT_EQ(again.guid, first.guid);
    EXPECT_EQ(runs, 1);

    // Another process of the same name (no memory, only the shared layer) finds it below, and
    // a process with an empty upper layer gets that layer filled from the one below.
    auto emptyDisk = std::make_shared<MapLayer>();
    Cache other(Options(0, {emptyDisk, shared}), TextCodec(), service);
    auto below = other.Get("k", Returns("never", &runs));
    EXPECT_EQ(below.source, ReadThroughSource::External);
    EXPECT_EQ(below.layer, 1);
    EXPECT_EQ(*below.value, "v1");
    EXPECT_EQ(below.guid, 0u);  // no memory layer
    EXPECT_EQ(emptyDisk->Get(key), shared->Get(key));
    EXPECT_EQ(runs, 1);

    const ReadThroughCounters c = other.GetCounters();
    EXPECT_EQ(c.layerHits, (std::vector<long long>{0, 1}));
    EXPECT_EQ(c.loads, 0);
    EXPECT_EQ(cache.GetCounters().loads, 1);
    EXPECT_EQ(cache.GetCounters().memoryHits, 1);
}

// The external key is the form values were stored under by earlier builds: a change to it
// would orphan every value already on disk or in Redis.
TEST_F(ReadThrough, ExternalKeyKeepsTheStoredForm) {
    Cache cache(Options(10, {}), TextCodec(), Service());
    for (const char* key : {"k", "a key longer than any small-string buffer", ""}) {
        const TString expected = TString("rt.") + TString::fromStdString(Options(10, {}).name) +
                                 TString(".") + FormatHashPair(cache.KeyHash(key));
        EXPECT_EQ(cache.Core().ExternalKey(key), expected) << key;
    }
}

TEST_F(ReadThrough, KeysOfDifferentNamesNeverMeetAndEveryLoadIsAnnouncedWithItsKeyHash) {
    auto service = Service();
    auto shared = std::make_shared<MapLayer>();
    Cache a(Options(10, {shared}), TextCodec(), service);
    auto otherOptions = Options(10, {shared});
    otherOptions.name = "other";
    Cache b(otherOptions, TextCodec(), service);
    EXPECT_NE(a.KeyHash("k"), b.KeyHash("k"));
    EXPECT_NE(a.Core().ExternalKey("k"), b.Core().ExternalKey("k"));
    a.Get("k", Returns("from a"));
    EXPECT_EQ(*b.Get("k", Returns("from b")).value, "from b");
    EXPECT_EQ(m_published, 2);
}

TEST_F(ReadThrough, WorksWithoutMemoryLayersOrService) {
    auto layer = std::make_shared<MapLayer>();
    Cache cache(Options(0, {layer}), TextCodec(), nullptr);
    int runs = 0;
    EXPECT_EQ(*cache.Get("k", Returns("v", &runs)).value, "v");
    auto second = cache.Get("k", Returns("v", &runs));
    EXPECT_EQ(second.source, ReadThroughSource::External);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(cache.HeldValues().empty());
}

// The MRU policy (frequencyPolicy off) evicts a thirty-second of the layer once it is over its
// size (a pass over the whole layer per fill made a fill cost as much as the layer is large),
// and keeps the most recently used.
TEST_F(ReadThrough, FullMemoryLayerEvictsInBatchesKeepingTheRecentlyUsed) {
    ReadThroughOptions o = Options(64);
    o.frequencyPolicy = false;
    Cache cache(o, TextCodec(), nullptr);
    for (int i = 0; i < 64; ++i) cache.Get(std::to_string(i), Returns("v"));
    EXPECT_EQ(cache.GetCounters().evictions, 0);
    // The layer's clock counts milliseconds: the later uses must be later.
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    cache.Get("0", Returns("v"));  // used again: kept
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    cache.Get("64", Returns("v"));
    EXPECT_EQ(cache.GetCounters().evictions, 3);
    EXPECT_EQ(cache.HeldValues().size(), 62u);
    EXPECT_EQ(cache.Get("0", Returns("v")).source, ReadThroughSource::Memory);
    EXPECT_EQ(cache.Get("64", Returns("v")).source, ReadThroughSource::Memory);
}

// The default policy: the layer never holds more than its entries, what it evicts is deleted
// (and counted), and keys asked for again and again outlast a scan of keys asked for once.
TEST_F(ReadThrough, FrequencyPolicyKeepsTheHotKeysThroughAScan) {
    Cache cache(Options(64), TextCodec(), nullptr);
    for (int round = 0; round < 20; ++round)
        for (int hot = 0; hot < 20; ++hot) cache.Get("hot" + std::to_string(hot), Returns("v"));
    for (int once = 0; once < 1000; ++once) {
        cache.Get("once" + std::to_string(once), Returns("v"));
        ASSERT_LE(cache.HeldValues().size(), 64u);
    }
    int hotHeld = 0;
    for (const auto& [key, value] : cache.HeldValues()) hotHeld += key.rfind("hot", 0) == 0;
    EXPECT_EQ(hotHeld, 20);
    const ReadThroughCounters counters = cache.GetCounters();
    EXPECT_EQ(counters.evictions + static_cast<long long>(cache.HeldValues().size()),
              counters.loads);
}

// A budget in bytes: what memory holds stays within it, and a value over an eighth of it is not
// held (counted), still fills the layer below, and leaves what is built on it uncached.
TEST_F(ReadThrough, ByteBudgetBoundsMemoryAndLeavesTooLargeValuesBelow) {
    auto layer = std::make_shared<MapLayer>();
    ReadThroughOptions o = Options(16, {layer});
    o.memoryBytes = 64 * 1024;
    Cache cache(o, TextCodec(), nullptr);
    const std::string kilobyte(1024, 'x');
    for (int i = 0; i < 200; ++i) cache.Get("k" + std::to_string(i), Returns(kilobyte));
    std::size_t held = 0;
    for (const auto& [key, value] : cache.HeldValues()) held += value->size() + 256;
    EXPECT_LE(held, o.memoryBytes);
    EXPECT_GE(cache.HeldValues().size(), 40u);  // it fills: 64 KiB holds about 50 such values

    ReadThroughUsage usage;
    ReadThroughUsage* before = SetReadThroughUsageRecorder(&usage);
    const auto large = cache.Get("large", Returns(std::string(10 * 1024, 'y')));
    SetReadThroughUsageRecorder(before);
    EXPECT_EQ(large.guid, 0u);
    EXPECT_TRUE(usage.uncachedPart);
    EXPECT_EQ(cache.GetCounters().tooLargeForMemory, 1);
    EXPECT_TRUE(veltest::Eventually(
        [&] { return layer->Get(cache.Core().ExternalKey("large")) != "<none>"; }));
    EXPECT_EQ(cache.Get("large", Returns("never")).source, ReadThroughSource::External);
}

// A hit finds its entry by the id the key table holds for the key; that entry replaced,
// invalidated, dropped as dirty or evicted must never answer.
TEST_F(ReadThrough, HitsNeverComeFromAnEntryTheKeyNoLongerHolds) {
    auto service = Service();
    auto options = Options(8);
    options.memoryPolicy = std::make_shared<CacheHelpers::MRUPolicy>(1000);  // evicts nothing
    Cache cache(options, TextCodec(), service);
    Cache other(Options(8), TextCodec(), service);
    const auto first = cache.Get("k", Returns("v1"));
    EXPECT_EQ(cache.Get("k", Returns("never")).guid, first.guid);

    cache.Set("k", std::make_shared<const std::string>("v2"));  // replaces the entry
    const auto replaced = cache.Get("k", Returns("never"));
    EXPECT_EQ(*replaced.value, "v2");
    EXPECT_NE(replaced.guid, first.guid);

    other.Set("k", std::make_shared<const std::string>("v3"));  // dirty here
    int runs = 0;
    EXPECT_EQ(*cache.Get("k", Returns("v3", &runs)).value, "v3");
    EXPECT_EQ(runs, 1);

    cache.Invalidate("k");
    EXPECT_EQ(*cache.Get("k", Returns("v4", &runs)).value, "v4");
    EXPECT_EQ(runs, 2);

    // More keys than the policy keeps, and than the key table holds before it sweeps the ids
    // whose entries went: "k" is still held, and found.
    for (int i = 0; i < 3000; ++i) {
        cache.Get("k", Returns("never"));
        cache.Get(std::to_string(i), Returns("x"));
    }
    EXPECT_EQ(*cache.Get("k", Returns("never", &runs)).value, "v4");
    EXPECT_EQ(runs, 2);
}

// Visit lends the value instead of sharing it: the same answers and counts as Get, the visitor's
// result returned, a miss loaded first.
TEST_F(ReadThrough, VisitLendsWhatGetWouldShare) {
    auto service = Service();
    Cache cache(Options(), TextCodec(), service);
    Cache other(Options(0), TextCodec(), service);
    int runs = 0;
    const auto length = [](const std::string& value) { return value.size(); };
    EXPECT_EQ(cache.Visit("k", Returns("four", &runs), length), 4u);  // loaded, then lent
    std::string seen;
    cache.Visit("k", Returns("never", &runs), [&](const std::string& value) { seen = value; });
    EXPECT_EQ(seen, "four");
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(cache.GetCounters().memoryHits, 1);
    other.Set("k", std::make_shared<const std::string>("changed"));  // dropped here
    EXPECT_EQ(cache.Visit("k", Returns("changed", &runs), length), 7u);
    EXPECT_EQ(runs, 2);
    EXPECT_THROW(
        cache.Visit("k", Returns("never"),
                    [](const std::string&) -> int { throw std::runtime_error("visitor"); }),
        std::runtime_error);
    EXPECT_EQ(cache.Visit("k", Returns("never"), length), 7u);  // the lock was let go
}

// The memory index is an open-addressed table whose deletions move later entries of a probe run
// back: after any mix of fills, replacements and removals, every held key is found where its
// run begins (a hit, never a reload) and no removed key is (a reload, never the old value).
TEST_F(ReadThrough, EveryHeldKeyIsFoundAfterRemovalsReshapedItsProbeRun) {
    auto service = Service();
    Cache cache(Options(100000), TextCodec(), service);
    Cache writer(Options(0), TextCodec(), service);
    std::mt19937 random(7);
    std::map<std::string, int> truth;  // the source; a key absent is not held
    std::set<std::string> held;
    int loads = 0;
    for (int step = 0; step < 30000; ++step) {
        const std::string key = "k" + std::to_string(random() % 3000);
        const int value = step;
        switch (random() % 4) {
            case 0:  // another process changed it: dropped here by its announcement
                truth[key] = value;
                writer.Invalidate(key);
                held.erase(key);
                break;
            case 1:
                cache.Invalidate(key);
                held.erase(key);
                break;
            default: {
                const int before = loads;
                const auto result = cache.Get(key, [&] {
                    ++loads;
                    return std::to_string(truth[key]);
                });
                ASSERT_EQ(*result.value, std::to_string(truth[key])) << key;
                // Held keys are hits; others load once and are held from then on.
                ASSERT_EQ(loads - before, held.count(key) ? 0 : 1) << key << " at " << step;
                held.insert(key);
            }
        }
    }
    EXPECT_EQ(cache.HeldValues().size(), held.size());
}

// With a fail-safe value at hand and a soft time-out, a miss in memory used to hand the whole
// load, the layers' reads included, to a background thread and wait for it: on a busy machine a
// disk hit took ten times its read. Only the loader goes there; the layers are read here.
TEST_F(ReadThrough, LayerHitWithAFailSafeValueWaitedForAnotherThread) {
    auto layer = std::make_shared<MapLayer>();
    auto options = Options(0, {layer});
    options.failSafe = true;
    options.softTimeoutMs = 5000;  // long enough for a loaded machine: the load below is timed
    Cache cache(options, TextCodec(), nullptr);
    cache.Get("k", Returns("v1"));  // loaded, stored, kept as the fail-safe value
    std::thread::id readOn;
    const auto load = layer->load;
    layer->load = [&readOn, load](TString key, TString ns) {
        readOn = std::this_thread::get_id();
        return load(key, ns);
    };
    const auto hit = cache.Get("k", Returns("never"));
    EXPECT_EQ(hit.source, ReadThroughSource::External);
    EXPECT_FALSE(hit.stale);
    EXPECT_EQ(readOn, std::this_thread::get_id());
    // A miss in the layers still goes to the loader, timed.
    layer->load = [](TString, TString) { return ExternalBytesPtr(); };
    int runs = 0;
    EXPECT_EQ(*cache.Get("k", Returns("v2", &runs)).value, "v2");
    EXPECT_EQ(runs, 1);
}

TEST_F(ReadThrough, RejectsBadOptions) {
    auto options = Options();
    options.name.clear();
    EXPECT_THROW(Cache(options, TextCodec(), nullptr), VelmoraException);
    EXPECT_THROW(Cache(Options(), Cache::Codec{}, nullptr), VelmoraException);
}

// ---- stale sets ----

// An announcement during the load that changes nothing for the key (the same content, or
// another key) leaves the fill in place.
TEST_F(ReadThrough, AnnouncementOfTheSameContentDuringTheLoadKeepsTheFill) {
    auto service = Service();
    Cache reader(Options(), TextCodec(), service);
    Cache writer(Options(), TextCodec(), service);
    const std::function<void()> announcements[] = {
        [&] { writer.Set("k", std::make_shared<const std::string>("same")); },
        [&] { writer.Invalidate("other key"); }};
    for (const auto& announce : announcements) {
        reader.Invalidate("k");
        auto result = reader.Get("k", [&] { return announce(), std::string("same"); });
        EXPECT_NE(result.guid, 0u);
    }
    EXPECT_EQ(reader.GetCounters().racedFillsDropped, 0);
}

TEST_F(ReadThrough, InvalidateDropsEveryProcesssCopyAndAnyFillInFlight) {
    auto service = Service();
    Cache a(Options(), TextCodec(), service);
    Cache b(Options(), TextCodec(), service);
    a.Get("k", Returns("v1"));
    b.Get("k", Returns("v1"));
    b.Invalidate("k");
    EXPECT_TRUE(a.HeldValues().empty());
    EXPECT_TRUE(b.HeldValues().empty());
    EXPECT_EQ(a.GetCounters().invalidations, 1);
    // A load that started before an invalidation is not kept.
    auto raced = a.Get("k", [&] {
        b.Invalidate("k");
        return std::string("v1");
    });
    EXPECT_EQ(raced.guid, 0u);
}

// ---- lower-layer values ----

// Which content is newer is read from the order of arrival, not from timestamps that another
// host's clock wrote: a stored value is served when it is the content announced last for its
// key, and loaded anew otherwise, however new its timestamp (its own announcement may still be
// on its way: a load, never a stale answer).
TEST_F(ReadThrough, StoredValueIsServedOnlyWhenItIsTheContentAnnouncedLast) {
    auto service = Service();
    auto shared = std::make_shared<MapLayer>();
    Cache writer(Options(0), TextCodec(), service);
    Cache reader(Options(0, {shared}), TextCodec(), service);
    writer.Invalidate("k");
    shared->Put(reader.Core().ExternalKey("k"), Envelope("k", "new", Now() + kSecondTicks / 10));
    const std::string put = shared->Get(reader.Core().ExternalKey("k"));
    EXPECT_EQ(reader.Get("k", Returns("x")).source, ReadThroughSource::Loader);
    // (the load's own store goes out in the background: replaced once it is there)
    ASSERT_TRUE(
        veltest::Eventually([&] { return shared->Get(reader.Core().ExternalKey("k")) != put; }));
    writer.Set("k", std::make_shared<const std::string>("new"));
    shared->Put(reader.Core().ExternalKey("k"), Envelope("k", "new", Now()));
    EXPECT_EQ(reader.Get("k", Returns("x")).source, ReadThroughSource::External);
}

// A fill that loaded the old row just before a change, and whose announcement reached the
// server after the change's, became the last news of its key: its copy in the layers was then
// served as the newest content. What was produced before a known change is still refused.
TEST_F(ReadThrough, RacedFillAnnouncedAfterTheChangeMadeItsStoredCopyTheNewest) {
    auto service = Service();
    auto shared = std::make_shared<MapLayer>();
    Cache writer(Options(0), TextCodec(), service);
    Cache reader(Options(0, {shared}), TextCodec(), service);
    const unsigned long long loadedAt = Now();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    writer.Set("k", std::make_shared<const std::string>("new"));
    const std::string old = "old";
    service->OnAdded(reader.KeyHash("k"), THash128(old.data(), old.size(), 0), loadedAt, 0,
                     std::weak_ptr<ICoherentCache>());
    shared->Put(reader.Core().ExternalKey("k"), Envelope("k", "old", loadedAt));
    const auto got = reader.Get("k", Returns("new"));
    EXPECT_EQ(*got.value, "new");
    EXPECT_EQ(got.source, ReadThroughSource::Loader);
}

// The same race where the change came from a host whose clock is ten seconds behind: by
// timestamps the stale copy looked newer than the change, and by arrival it was the last news.
// The process whose fill raced the change announces the change again, after its fill. (The
// fill's announcement is held back here until the change has arrived, as a slow link would.)
TEST_F(ReadThrough, RacedFillAnnouncedAfterASkewedChangeMadeItsStoredCopyTheNewest) {
    std::vector<std::pair<TString, TString>> held;
    bool hold = true;
    auto service =
        RedisPubsub::CreateTestInstance("rt.", m_manager, [&](const TString& c, const TString& m) {
            if (hold)
                held.emplace_back(c, m);
            else
                m_manager.Publish(c, m);
        });
    auto shared = std::make_shared<MapLayer>();
    Cache reader(Options(0, {shared}), TextCodec(), service);
    EXPECT_EQ(*reader.Get("k", Returns("old")).value, "old");
    ASSERT_TRUE(veltest::Eventually(
        [&] { return shared->Get(reader.Core().ExternalKey("k")) != "<none>"; }));
    ASSERT_EQ(held.size(), 1u);  // the fill's announcement, still on its way

    const std::string content = "new";
    const unsigned long long behind =
        (DateTime::UtcNow() - DateTimeSpan::FromMilliseconds(10000)).GetRepresentation();
    const TString channel = FormatCoherenceChannel("rt.", reader.KeyHash("k"));
    m_manager.Publish(channel,
                      FormatCoherenceMessage(THash128(content.data(), content.size(), 0), behind));
    hold = false;
    for (const auto& [c, m] : held) m_manager.Publish(c, m);  // the fill's, then any made since

    Cache other(Options(0, {shared}), TextCodec(), service);
    const auto got = other.Get("k", Returns("new"));
    EXPECT_EQ(*got.value, "new");
    EXPECT_EQ(got.source, ReadThroughSource::Loader);
    EXPECT_EQ(service->GetHealth().reannounced, 1);
}

TEST_F(ReadThrough, UnreadableForeignOrExpiredStoredValuesAreLoadedAnew) {
    auto service = Service();
    auto layer = std::make_shared<MapLayer>();
    auto options = Options(0, {layer});
    Cache cache(options, TextCodec(), service);
    const TString key = cache.Core().ExternalKey("k");
    const std::vector<ExternalBytes> bad = {
        ExternalBytes{'j', 'u', 'n', 'k'},
        ExternalBytes{'V', 'R', 'T', '1', 1, 2, 3},            // cut short
        Envelope("another key", "v", Now()),                   // a hash collision or a bug
        Envelope("k", "unreadable", Now()),                    // the codec refuses it
        Envelope("k", "v", Now() - 3600 * kSecondTicks * 24),  // past the lifetime
        Envelope("k", "v", 1),  // before the table vouches for anything
    };
    int runs = 0;
    for (const ExternalBytes& bytes : bad) {
        layer->Put(key, bytes);
        EXPECT_EQ(cache.Get("k", Returns("fresh", &runs)).source, ReadThroughSource::Loader);
    }
    EXPECT_EQ(cache.GetCounters().lowerRejected, static_cast<long long>(bad.size()));
    EXPECT_EQ(runs, static_cast<int>(bad.size()));
    // An envelope whose key length overruns the bytes is no envelope either.
    ExternalBytes overrun = Envelope("k", "v", Now());
    overrun[28] = 0xff;
    layer->Put(key, overrun);
    EXPECT_EQ(cache.Get("k", Returns("fresh", &runs)).source, ReadThroughSource::Loader);
}

TEST_F(ReadThrough, LayerThatFailsOrTimesOutCountsAndFallsThrough) {
    auto failing = std::make_shared<veltest::ScriptedCache>(0, true);
    failing->load = [](TString, TString) -> ExternalBytesPtr { throw std::runtime_error("down"); };
    auto options = Options(0, {failing});
    options.inlineExternalLoads = false;
    Cache cache(options, TextCodec(), nullptr);
    EXPECT_EQ(*cache.Get("k", Returns("v")).value, "v");

    std::atomic<bool> release{false};
    auto slow = std::make_shared<veltest::ScriptedCache>(0, true);
    slow->load = [&](TString, TString) -> ExternalBytesPtr {
        while (!release) std::this_thread::yield();
        return nullptr;
    };
    options.layers = {slow};
    options.externalWaitMs = 1;
    Cache timed(options, TextCodec(), nullptr);
    EXPECT_EQ(*timed.Get("k", Returns("v")).value, "v");
    release = true;
    EXPECT_EQ(timed.GetCounters().externalFailures, 1);
}

// A layer read inline went through the guarded load, which answers a failure with nothing:
// the cache counted a Redis outage as misses and reported no external failure; so did a layer
// read on a task thread (inlineExternalLoads off), which counted only its time-outs.
using ReadThroughFaults = ReadThrough;
TEST_F(ReadThroughFaults, FailedLayerReadWasCountedAsAMiss) {
    for (bool inlineLoads : {true, false}) {
        SCOPED_TRACE(inlineLoads ? "inline" : "on a task thread");
        auto layer = std::make_shared<veltest::ScriptedCache>();
        layer->load = [](TString, TString) -> ExternalBytesPtr {
            throw std::runtime_error("connection reset");
        };
        auto options = Options(100, {layer});
        options.inlineExternalLoads = inlineLoads;
        Cache cache(options, TextCodec(), nullptr);
        const Cache::Result got = cache.Get("k", Returns("loaded"));
        EXPECT_EQ(*got.value, "loaded");
        EXPECT_EQ(got.source, ReadThroughSource::Loader);
        EXPECT_EQ(cache.GetCounters().externalFailures, 1);

        // A plain miss is not a failure.
        layer->load = [](TString, TString) { return ExternalBytesPtr(); };
        cache.Get("other", Returns("loaded"));
        EXPECT_EQ(cache.GetCounters().externalFailures, 1);
        EXPECT_EQ(cache.GetCounters().loads, 2);
    }
    const auto lines = m_host.Log().Find(TString("ec-load"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(veltest::Attr(lines[0].attributes, "outcome"), TString("fail"));
    EXPECT_EQ(veltest::Attr(lines[2].attributes, "outcome"), TString("fail"));
}

// ---- signed values ----

// A real disk cache: values are tampered with where they lie.
class SignedValues : public ReadThrough {
protected:
    ReadThroughOptions Signed(std::vector<std::string> keys) {
        auto options = Options(0, {m_disk});
        options.signingKeys = std::move(keys);
        return options;
    }
    std::filesystem::path ValueFile(Cache& cache, const std::string& key) {
        return m_dir.Path() / "ExternalCacheV1" / "signed" /
               ExternalCacheKeyHash(cache.Core().ExternalKey(key)).toStdString() / ".bin";
    }
    static std::string Read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void Write(const std::filesystem::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    // Get, and when the loader ran, wait for its background store to land on disk.
    ReadThroughSource Load(Cache& cache, const std::string& key, const std::string& value,
                           int* runs = nullptr) {
        const auto file = ValueFile(cache, key);
        const std::string before = Read(file);
        const ReadThroughSource source = cache.Get(key, Returns(value, runs)).source;
        if (source == ReadThroughSource::Loader)
            veltest::Eventually([&] { return Read(file) != before; });
        return source;
    }

    veltest::ScratchDir m_dir;
    std::shared_ptr<DiskExternalCache> m_disk =
        std::make_shared<DiskExternalCache>(TString("signed"), nullptr);
    std::shared_ptr<RedisPubsub> m_service = Service();
};

TEST_F(SignedValues, TamperedValueIsAMissAndTheRightTagAHit) {
    Cache cache(Signed({"secret-1"}), TextCodec(), m_service);
    int runs = 0;
    Load(cache, "k", "tenant rows", &runs);
    EXPECT_EQ(Load(cache, "k", "x", &runs), ReadThroughSource::External);
    const auto file = ValueFile(cache, "k");
    std::string bytes = Read(file);
    ASSERT_NE(bytes.find("tenant rows"), std::string::npos);
    EXPECT_EQ(bytes.find("secret-1"), std::string::npos);  // the key is never stored
    // One byte of the value flipped, then one of the tag: both misses.
    for (const std::size_t at : {bytes.find("tenant rows"), bytes.size() - 1}) {
        std::string tampered = bytes;
        tampered[at] = static_cast<char>(tampered[at] ^ 0x01);
        Write(file, tampered);
        EXPECT_EQ(Load(cache, "k", "tenant rows", &runs), ReadThroughSource::Loader);
    }
    EXPECT_EQ(cache.GetCounters().signatureRejected, 2);
    std::vector<std::string> refusals;
    for (const velmora::LogRecord& r : m_host.Log().Records())
        if (r.message.toStdString().find("was refused") != std::string::npos)
            refusals.push_back(r.message.toStdString());
    ASSERT_EQ(refusals.size(), 1u);  // once a minute at most
    EXPECT_EQ(refusals[0],
              "ReadThroughCache answers: a value in layer 0 was refused: its signature does not "
              "match (1 refused since the last such line). Values stored before signing was "
              "turned on, or under a key no longer listed, are loaded anew.");
}

TEST_F(SignedValues, UnsignedValuesAndForeignKeysAreMissesAndRotationKeepsOldValues) {
    Cache unsignedWriter(Options(0, {m_disk}), TextCodec(), m_service);
    Load(unsignedWriter, "old", "v");
    Cache oldKey(Signed({"key-1"}), TextCodec(), m_service);
    // Stored before signing was turned on: a miss, not an error.
    EXPECT_EQ(Load(oldKey, "old", "v"), ReadThroughSource::Loader);
    EXPECT_EQ(oldKey.GetCounters().signatureRejected, 1);
    Load(oldKey, "k", "v");

    // Rotation: the new key signs, the old one still verifies.
    Cache rotating(Signed({"key-2", "key-1"}), TextCodec(), m_service);
    EXPECT_EQ(Load(rotating, "k", "x"), ReadThroughSource::External);
    Cache newOnly(Signed({"key-2"}), TextCodec(), m_service);
    EXPECT_EQ(Load(newOnly, "k", "v"), ReadThroughSource::Loader);
    // ... whose store now carries the new key's tag, which the rotating reader accepts.
    EXPECT_EQ(Load(rotating, "k", "x"), ReadThroughSource::External);
    EXPECT_EQ(Load(oldKey, "k", "v"), ReadThroughSource::Loader);
    // A reader without keys reads signed values as they are.
    EXPECT_EQ(Load(unsignedWriter, "k", "x"), ReadThroughSource::External);
}

// ---- single flight ----

TEST_F(ReadThrough, LoaderFailureReachesTheCallerAndNothingIsKept) {
    Cache cache(Options(), TextCodec(), Service());
    EXPECT_THROW(cache.Get("k", []() -> std::string { throw std::runtime_error("db down"); }),
                 std::runtime_error);
    EXPECT_EQ(cache.GetCounters().loadFailures, 1);
    EXPECT_TRUE(cache.HeldValues().empty());
    // The key is free again.
    EXPECT_EQ(*cache.Get("k", Returns("v")).value, "v");
}

// ---- derived results ----

class Derived : public ReadThrough {
protected:
    std::shared_ptr<RedisPubsub> m_service = Service();
    Cache m_parts{Options(), TextCodec(), m_service};
    Cache m_writer{Options(), TextCodec(), m_service};
    DerivedResultCache<std::string> m_derived{m_service};
    int m_computed = 0;

    DerivedResultCache<std::string>::Result Sum() {
        return m_derived.Get("a+b", [this] {
            ++m_computed;
            return *m_parts.Get("a", Returns("1")).value + *m_parts.Get("b", Returns("2")).value;
        });
    }
    // The result of `key` in `cache`, built on the part "a".
    DerivedResultCache<std::string>::Result OverA(DerivedResultCache<std::string>& cache,
                                                  const std::string& key) {
        return cache.Get(key, [&] {
            ++m_computed;
            return *m_parts.Get("a", Returns("1")).value + key;
        });
    }
};

TEST_F(Derived, KeptUntilAPartGoesStale) {
    EXPECT_TRUE(Sum().kept);
    EXPECT_TRUE(Sum().held);
    EXPECT_EQ(m_computed, 1);
    m_writer.Set("b", std::make_shared<const std::string>("20"));
    EXPECT_TRUE(m_derived.HeldValues().empty());
    EXPECT_EQ(m_derived.GetCounters().droppedDirty, 1);
    EXPECT_EQ(*Sum().value, "12");  // the part reloads (its loader still says "2")
    EXPECT_EQ(m_computed, 2);
}

TEST_F(Derived, PartGoingStaleWhileTheResultIsBuiltLeavesNothingBehind) {
    auto result = m_derived.Get("a+b", [this] {
        const std::string a = *m_parts.Get("a", Returns("1")).value;
        m_writer.Set("a", std::make_shared<const std::string>("10"));
        return a + *m_parts.Get("b", Returns("2")).value;
    });
    EXPECT_FALSE(result.kept);
    EXPECT_TRUE(m_derived.HeldValues().empty());
}

TEST_F(Derived, DroppedWhenTheTrackingOfAnEvictedPartEnds) {
    auto small = Options(1);
    small.name = "small";
    Cache parts(small, TextCodec(), m_service);
    EXPECT_TRUE(m_derived.Get("x", [&] { return *parts.Get("p", Returns("1")).value; }).kept);
    parts.Get("q", Returns("2"));  // evicts "p"; the service keeps its record a while
    EXPECT_EQ(m_derived.HeldValues().size(), 1u);
    m_service->TriggerPruneEvictedEntriesTestOnly(0, -1);
    EXPECT_TRUE(m_derived.HeldValues().empty());
    EXPECT_EQ(m_derived.GetCounters().droppedOnPrune, 1);
}

// Results over one part that stays held are never dropped by the service: only the bound lets
// them go, oldest computation first, with their scopes.
TEST_F(Derived, OldestResultGoesPastTheBoundWithItsScope) {
    DerivedResultCache<std::string> bounded(m_service, 2);
    for (const char* key : {"x", "y", "z"}) EXPECT_TRUE(OverA(bounded, key).kept);
    EXPECT_EQ(bounded.HeldValues().size(), 2u);
    EXPECT_EQ(bounded.GetCounters().droppedOverBound, 1);
    EXPECT_TRUE(OverA(bounded, "y").held);
    EXPECT_TRUE(OverA(bounded, "z").held);
    EXPECT_TRUE(OverA(bounded, "x").kept);  // computed again; "y" is now the oldest
    EXPECT_FALSE(OverA(bounded, "y").held);
    EXPECT_EQ(m_computed, 5);
    EXPECT_EQ(CascadeInvalidatorAggregator::TryGetSingleton()->GetScopeCount(), 2u);
}

TEST_F(Derived, ABoundOfZeroKeepsEveryResult) {
    DerivedResultCache<std::string> unbounded(m_service, 0);
    for (const char* key : {"x", "y", "z"}) EXPECT_TRUE(OverA(unbounded, key).kept);
    EXPECT_EQ(unbounded.HeldValues().size(), 3u);
    EXPECT_EQ(unbounded.GetCounters().droppedOverBound, 0);
    EXPECT_EQ(CascadeInvalidatorAggregator::TryGetSingleton()->GetScopeCount(), 3u);
}

TEST_F(Derived, NotKeptWhenAPartCameBackUncachedOrCascadeIsOff) {
    Cache noMemory(Options(0), TextCodec(), m_service);
    EXPECT_FALSE(m_derived.Get("x", [&] { return *noMemory.Get("p", Returns("1")).value; }).kept);
    {
        ScopedOverride off("SyncCaches", false);
        EXPECT_FALSE(
            m_derived.Get("y", [&] { return *m_parts.Get("p", Returns("1")).value; }).kept);
    }
    EXPECT_EQ(m_derived.GetCounters().notKept, 2);
}

// Every computation registers a scope; one whose result went (dropped, pruned, never kept, or
// its cache gone) without a part turning dirty stayed registered for good.
TEST_F(Derived, KeptAScopeRegisteredForEveryResultItEverBuilt) {
    CascadeInvalidatorAggregator& aggregator = *CascadeInvalidatorAggregator::TryGetSingleton();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(Sum().kept);
        m_derived.Drop("a+b");
    }
    EXPECT_EQ(aggregator.GetScopeCount(), 0u);
    ASSERT_TRUE(Sum().kept);
    Cache noMemory(Options(0), TextCodec(), m_service);
    EXPECT_FALSE(m_derived.Get("x", [&] { return *noMemory.Get("p", Returns("1")).value; }).kept);
    EXPECT_EQ(aggregator.GetScopeCount(), 1u);

    auto small = Options(1);
    small.name = "small";
    Cache parts(small, TextCodec(), m_service);
    EXPECT_TRUE(m_derived.Get("y", [&] { return *parts.Get("p", Returns("1")).value; }).kept);
    parts.Get("q", Returns("2"));  // evicts "p"
    m_service->TriggerPruneEvictedEntriesTestOnly(0, -1);
    EXPECT_EQ(aggregator.GetScopeCount(), 1u);
    {
        DerivedResultCache<std::string> gone{m_service};
        EXPECT_TRUE(gone.Get("z", [&] { return *m_parts.Get("a", Returns("1")).value; }).kept);
    }
    EXPECT_EQ(aggregator.GetScopeCount(), 1u);
    EXPECT_EQ(aggregator.CheckIndexForTest(), TString());
    // The one kept result still hears of its parts.
    m_writer.Set("b", std::make_shared<const std::string>("20"));
    EXPECT_TRUE(m_derived.HeldValues().empty());
    EXPECT_EQ(aggregator.GetScopeCount(), 0u);
}

TEST_F(Derived, NestedComputationsAreRefused) {
    EXPECT_EQ(veltest::FailedExpression([&] {
                  m_derived.Get("outer", [&] {
                      return *m_derived.Get("inner", [] { return std::string("v"); }).value;
                  });
              }),
              "!nested");
    // The outer computation's recorder is gone with it.
    EXPECT_TRUE(Sum().kept);
}

// ---- codecs chosen by type, loaders of either shape ----

struct Point {
    std::int32_t x = 0;
    std::int32_t y = 0;
    bool operator==(const Point&) const = default;
};
struct Padded {
    std::int8_t tag = 0;
    std::int64_t value = 0;
};
static_assert(ReadThroughCodec<std::string>::kExists);
static_assert(ReadThroughCodec<std::vector<unsigned char>>::kExists);
static_assert(ReadThroughCodec<std::vector<std::byte>>::kExists);
static_assert(ReadThroughCodec<Point>::kExists);
static_assert(ReadThroughCodec<std::uint64_t>::kExists);
// Equal values could differ in their padding or sign of zero, and an address means nothing in
// another process: none of these has a codec.
static_assert(!ReadThroughCodec<Padded>::kExists);
static_assert(!ReadThroughCodec<double>::kExists);
static_assert(!ReadThroughCodec<const char*>::kExists);
static_assert(!ReadThroughCodec<std::vector<int>>::kExists);

TEST(ReadThroughCodecs, ValuesRoundTrip) {
    const ExternalBytes text = ReadThroughCodec<std::string>::Encode(std::string("a\0b", 3));
    EXPECT_EQ(*ReadThroughCodec<std::string>::Decode(text.data(), text.size()),
              std::string("a\0b", 3));
    const std::vector<std::byte> raw{std::byte{0}, std::byte{255}};
    const ExternalBytes bytes = ReadThroughCodec<std::vector<std::byte>>::Encode(raw);
    EXPECT_EQ(*ReadThroughCodec<std::vector<std::byte>>::Decode(bytes.data(), bytes.size()), raw);

    const ExternalBytes point = ReadThroughCodec<Point>::Encode(Point{-1, 7});
    EXPECT_EQ(point.size(), sizeof(Point));
    EXPECT_EQ(*ReadThroughCodec<Point>::Decode(point.data(), point.size()), (Point{-1, 7}));
    EXPECT_EQ(ReadThroughCodec<std::vector<unsigned char>>::Decode(point.data(), 0)->size(), 0u);
}

TEST(ReadThroughCodecs, BytesOfAForeignSizeDecodeToNothing) {
    const ExternalBytes point = ReadThroughCodec<Point>::Encode(Point{-1, 7});
    EXPECT_EQ(ReadThroughCodec<Point>::Decode(point.data(), point.size() - 1), nullptr);
}

TEST_F(ReadThrough, CacheWithoutACodecUsesItsTypesAndReadsBackWhatAnotherInstanceStored) {
    auto shared = std::make_shared<MapLayer>();
    ReadThroughCache<Point> writer(Options(10, {shared}), Service());
    writer.Get("p", [] { return Point{3, 4}; });
    ReadThroughCache<Point> reader(Options(0, {shared}));
    const auto found = reader.Get(
        "p", [](const std::string&) -> Point { throw std::logic_error("the layer holds it"); });
    EXPECT_EQ(found.source, ReadThroughSource::External);
    EXPECT_EQ(*found.value, (Point{3, 4}));

    // A codec given as two callables.
    ReadThroughCache<std::string> text(
        Options(0, {std::make_shared<MapLayer>()}),
        [](const std::string& v) { return ExternalBytes(v.rbegin(), v.rend()); },
        [](const unsigned char* data, std::size_t size) {
            return std::make_shared<std::string>(std::string(data, data + size));
        });
    text.Get("k", [] { return std::string("abc"); });
    EXPECT_EQ(*text.Get("k", [] { return std::string("never"); }).value, "cba");
}

TEST_F(ReadThrough, LoaderReceivesTheKeyAndMayReturnAPointer) {
    Cache cache(Options(), Service());
    EXPECT_EQ(*cache.Get("k1", [](const std::string& key) { return key + "!"; }).value, "k1!");
    EXPECT_EQ(*cache.Get("k2", [](std::string_view key) { return std::string(key); }).value, "k2");
    const auto shared = std::make_shared<const std::string>("shared");
    const auto got = cache.Get("k3", [shared](const std::string&) { return shared; });
    EXPECT_EQ(got.value, shared);  // the very object, not a copy
    EXPECT_EQ(*cache.Get("k4", [] { return "text"; }).value, "text");
}

TEST_F(ReadThrough, GetWithoutALoaderRaisesNamingTheCacheWhenItHasNone) {
    Cache cache(Options(), Service());
    try {
        cache.Get("k");
        ADD_FAILURE() << "Get(key) without a loader answered";
    } catch (const VelmoraException& e) {
        EXPECT_NE(std::string(e.what()).find("\"answers\""), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("SetLoader"), std::string::npos) << e.what();
    }
}

TEST_F(ReadThrough, GetWithoutALoaderUsesTheCachesOwn) {
    Cache cache(Options(), Service());
    std::vector<std::string> asked;
    cache.SetLoader([&asked](const std::string& key) {
        asked.push_back(key);
        return "v(" + key + ")";
    });
    EXPECT_EQ(*cache.Get("a").value, "v(a)");
    EXPECT_EQ(cache.Get("a").source, ReadThroughSource::Memory);
    cache.SetLoader(
        [](const std::string& key) { return std::make_shared<std::string>("w" + key); });
    EXPECT_EQ(*cache.Get("b").value, "wb");
    EXPECT_EQ(asked, std::vector<std::string>{"a"});
}

// ---- looks that never load, lifetimes per value ----

TEST_F(ReadThrough, TryGetAnswersFromMemoryOrALayerAndNeverLoads) {
    auto service = Service();
    auto upper = std::make_shared<MapLayer>(), shared = std::make_shared<MapLayer>();
    Cache cache(Options(10, {upper, shared}), service);
    EXPECT_EQ(cache.TryGet("k").value, nullptr);
    EXPECT_EQ(cache.GetCounters().tryMisses, 1);

    Cache writer(Options(0, {shared}), service);
    writer.Get("k", [] { return std::string("stored"); });
    const auto below = cache.TryGet("k");
    ASSERT_NE(below.value, nullptr);
    EXPECT_EQ(*below.value, "stored");
    EXPECT_EQ(below.source, ReadThroughSource::External);
    EXPECT_EQ(below.layer, 1);
    // Filled as a Get fills: memory and the layer above.
    EXPECT_EQ(upper->Get(cache.Core().ExternalKey("k")),
              shared->Get(cache.Core().ExternalKey("k")));
    EXPECT_EQ(cache.TryGet("k").source, ReadThroughSource::Memory);

    // A change announced elsewhere drops the entry, and the stored copy of the old content is
    // refused, as Get would refuse it.
    writer.Invalidate("k");
    EXPECT_EQ(cache.TryGet("k").value, nullptr);
    const ReadThroughCounters c = cache.GetCounters();
    EXPECT_EQ(c.loads, 0);
    EXPECT_EQ(c.tryMisses, 2);
    EXPECT_EQ(c.lowerRejected, 2);  // both layers held the old content
    EXPECT_EQ(c.memoryHits, 1);
}

TEST_F(ReadThrough, TryGetRefusesUnsignedValuesWhenTheCacheSigns) {
    auto layer = std::make_shared<MapLayer>();
    Cache plain(Options(0, {layer}), nullptr);
    plain.Get("k", [] { return std::string("unsigned"); });
    auto options = Options(10, {layer});
    options.signingKeys = {"key"};
    Cache signing(options, nullptr);
    EXPECT_EQ(signing.TryGet("k").value, nullptr);
    EXPECT_EQ(signing.GetCounters().signatureRejected, 1);
}

TEST_F(ReadThrough, SetWithALifetimeIsAskedOfTheLayersAndCappedAtTheServicesHorizon) {
    auto service = Service();
    auto layer = std::make_shared<MapLayer>();
    Cache cache(Options(10, {layer}), service);
    cache.Set("short", std::make_shared<const std::string>("v"), std::chrono::seconds(5));
    EXPECT_EQ(layer->LastTtlSec(), 5);
    cache.Set("long", std::make_shared<const std::string>("v"), std::chrono::hours(24 * 365));
    EXPECT_EQ(layer->LastTtlSec(), service->ValueLifetimeSec());
    cache.Set("default", std::make_shared<const std::string>("v"));
    EXPECT_EQ(layer->LastTtlSec(),
              std::min<long long>(Options().valueLifetimeSec, service->ValueLifetimeSec()));
    EXPECT_THROW(cache.Set("k", std::make_shared<const std::string>("v"), std::chrono::seconds(-1)),
                 VelmoraException);
}

TEST_F(ReadThrough, ValueSetWithALifetimeExpiresInMemoryAndForEveryReaderOfTheLayers) {
    auto service = Service();
    auto layer = std::make_shared<MapLayer>();
    Cache writer(Options(10, {layer}), service);
    Cache reader(Options(10, {layer}), service);
    writer.Set("k", std::make_shared<const std::string>("brief"), std::chrono::seconds(1));
    EXPECT_EQ(*reader.TryGet("k").value, "brief");  // from the layer, with its lifetime
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    // The reader's memory copy carried the value's lifetime, and so does the stored copy.
    EXPECT_EQ(reader.TryGet("k").value, nullptr);
    EXPECT_EQ(reader.GetCounters().expired, 1);
    EXPECT_EQ(reader.GetCounters().lowerRejected, 1);
    int runs = 0;
    EXPECT_EQ(writer.Get("k", Returns("fresh", &runs)).source, ReadThroughSource::Loader);
    EXPECT_EQ(writer.GetCounters().expired, 1);
    EXPECT_EQ(runs, 1);
}

// ---- tags ----

class Tags : public ReadThrough {
protected:
    ReadThroughOptions Tagged(const std::string& name, std::vector<ExternalCachePtr> layers = {}) {
        ReadThroughOptions o = Options(100, std::move(layers));
        o.name = name;
        o.tags = m_tags;
        return o;
    }
    static std::function<std::string()> TaggedValue(std::string value,
                                                    std::vector<std::string> tags) {
        return [value, tags] {
            for (const std::string& tag : tags) TagLoad(tag);
            return value;
        };
    }
    static std::shared_ptr<const std::string> Value(const char* text) {
        return std::make_shared<const std::string>(text);
    }
    std::shared_ptr<TagInvalidations> m_tags = TagInvalidations::InProcess();
};

TEST_F(Tags, RefusedByNameAndLetGoWithTagsOff) {
    EXPECT_FALSE(TagLoad("row:1")) << "no load runs on this thread";
    EXPECT_THROW(TagLoad(""), VelmoraException);
    EXPECT_THROW(TagLoad(std::string(kMaxTagBytes + 1, 'x')), VelmoraException);
    ReadThroughOptions few = Tagged("few");
    few.maxTagsPerEntry = 2;
    Cache cache(few, TextCodec(), nullptr);
    try {
        cache.Get("k", TaggedValue("v", {"a", "b", "c"}));
        ADD_FAILURE() << "three tags were taken";
    } catch (const VelmoraException& e) {
        EXPECT_NE(std::string(e.what()).find("maxTagsPerEntry (2)"), std::string::npos) << e.what();
    }
    EXPECT_EQ(cache.Get("k", TaggedValue("v", {"a", "b", "a"})).tags->names,
              (std::vector<std::string>{"a", "b"}));
    EXPECT_THROW(cache.Set("s", Value("v"), std::chrono::seconds(0), {"a", "b", "c"}),
                 VelmoraException);

    ReadThroughOptions off = Tagged("off");
    off.useTags = false;
    Cache untagged(off, TextCodec(), nullptr);
    EXPECT_THROW(untagged.InvalidateTag("a"), VelmoraException);
    EXPECT_THROW(untagged.Set("s", Value("v"), std::chrono::seconds(0), {"a"}), VelmoraException);
    EXPECT_EQ(untagged.Get("k", TaggedValue("v", {"a"})).tags, nullptr);
    m_tags->Invalidate("a");
    EXPECT_EQ(untagged.Get("k", Returns("other")).source, ReadThroughSource::Memory);
}

// A value built from other cached values carries their tags, whether they were loaded for it or
// found in memory; one invalidation drops the parts and everything built on them, and a cache's
// own invalidation stays in that cache.
TEST_F(Tags, AValueCarriesTheTagsOfWhatItWasBuiltFrom) {
    Cache parts(Tagged("parts"), TextCodec(), nullptr);
    Cache totals(Tagged("totals"), TextCodec(), nullptr);
    const auto total = [&](const std::string& key) {
        return totals.Get(key,
                          [&] { return *parts.Get("p", TaggedValue("1", {"row:1"})).value + key; });
    };
    EXPECT_EQ(total("x").source, ReadThroughSource::Loader);  // p loaded for it
    EXPECT_EQ(total("y").source, ReadThroughSource::Loader);  // p from memory
    totals.Set("z", Value("3"), std::chrono::seconds(0), {"row:2"});
    parts.Get("q", TaggedValue("2", {"row:2"}));

    parts.InvalidateTag("row:2");
    EXPECT_EQ(parts.HeldValues().size(), 1u) << "q went";
    EXPECT_EQ(totals.HeldValues().size(), 3u) << "another cache's invalidation";
    m_tags->Invalidate("row:1");
    EXPECT_TRUE(parts.HeldValues().empty());
    ASSERT_EQ(totals.HeldValues().size(), 1u);
    EXPECT_EQ(totals.HeldValues()[0].first, "z");
    EXPECT_EQ(totals.GetCounters().droppedByTag, 2);
    EXPECT_EQ(*total("x").value, "1x");
}

// An entry dropped by tag is dirty, not evicted: a result derived from it goes at once. So does
// one whose tagged part was evicted before the invalidation: the result lives while the service
// keeps the part's evicted record, and a stale answer found after a run's writes settled was
// such a result.
TEST_F(Tags, ADerivedResultGoesWithATaggedPartEvenOnceThePartWasEvicted) {
    const std::shared_ptr<RedisPubsub> service = Service();
    ReadThroughOptions small = Tagged("parts");
    small.memoryEntries = 2;
    Cache parts(small, TextCodec(), service);
    DerivedResultCache<std::string> derived(service);
    const auto report = [&](const std::string& key, const std::string& part) {
        return derived.Get(
            key, [&] { return *parts.Get(part, TaggedValue("1", {"row:" + part})).value; });
    };
    ASSERT_TRUE(report("r1", "p1").kept);
    parts.InvalidateTag("row:p1");
    EXPECT_TRUE(derived.HeldValues().empty());
    EXPECT_EQ(derived.GetCounters().droppedDirty, 1);

    ASSERT_TRUE(report("r2", "p2").kept);
    for (const char* other : {"a", "b", "c", "d"}) parts.Get(other, Returns("x"));
    ASSERT_GT(parts.GetCounters().evictions, 0);
    ASSERT_EQ(derived.HeldValues().size(), 1u) << "kept while the evicted record is";
    parts.InvalidateTag("row:p2");
    EXPECT_TRUE(derived.HeldValues().empty());
    EXPECT_EQ(derived.GetCounters().droppedDirty, 2);
}

// A tag invalidated since the last good value was kept is a change: that value does not stand
// in for a failing load, unless failSafeAfterChange.
TEST_F(Tags, TheLastGoodValueOfAnInvalidatedTagDoesNotStandInForAFailingLoad) {
    const auto failing = []() -> std::string { throw std::runtime_error("database down"); };
    for (const bool afterChange : {false, true}) {
        ReadThroughOptions options = Tagged(afterChange ? "after" : "before");
        options.failSafe = true;
        options.failSafeAfterChange = afterChange;
        Cache cache(options, TextCodec(), nullptr);
        cache.Get("k", TaggedValue("good", {"row:1"}));
        cache.Invalidate("k");  // memory lets go; the last good value stays
        EXPECT_TRUE(cache.Get("k", failing).stale) << "no tag was invalidated yet";
        cache.InvalidateTag("row:1");
        if (afterChange)
            EXPECT_TRUE(cache.Get("k", failing).stale);
        else
            EXPECT_THROW(cache.Get("k", failing), std::runtime_error);
    }
}

// What an earlier run stored below with tags is refused (nothing tells this run what was
// invalidated meanwhile); untagged values and what this run stored are served until a tag of
// theirs is invalidated.
TEST_F(Tags, TaggedValuesBelowAreServedOnlyWhileNoTagOfTheirsWasInvalidated) {
    auto layer = std::make_shared<MapLayer>();
    const auto stored = [&](Cache& cache, const std::string& key) {
        return veltest::Eventually(
            [&] { return layer->Get(cache.Core().ExternalKey(key)) != "<none>"; });
    };
    {
        Cache earlier(Tagged("rows", {layer}), TextCodec(), nullptr);
        earlier.Get("t", TaggedValue("old", {"row:1"}));
        earlier.Get("u", Returns("old"));
        ASSERT_TRUE(stored(earlier, "t") && stored(earlier, "u"));
    }
    m_tags = TagInvalidations::InProcess();  // the next run
    Cache first(Tagged("rows", {layer}), TextCodec(), nullptr);
    EXPECT_EQ(first.Get("t", TaggedValue("new", {"row:1"})).source, ReadThroughSource::Loader);
    EXPECT_EQ(first.GetCounters().tagRefused, 1);
    EXPECT_EQ(first.Get("u", Returns("new")).source, ReadThroughSource::External);
    veltest::Eventually(
        [&] { return layer->Get(first.Core().ExternalKey("t")).find("new") != std::string::npos; });
    Cache second(Tagged("rows", {layer}), TextCodec(), nullptr);
    const Cache::Result read = second.Get("t", Returns("never"));
    EXPECT_EQ(read.source, ReadThroughSource::External);
    ASSERT_NE(read.tags, nullptr) << "the tags travel in the envelope";
    EXPECT_EQ(read.tags->names, std::vector<std::string>{"row:1"});
    m_tags->Invalidate("row:1");
    Cache third(Tagged("rows", {layer}), TextCodec(), nullptr);
    EXPECT_EQ(*third.Get("t", Returns("newer")).value, "newer");
    EXPECT_TRUE(second.HeldValues().size() == 0);
}

}  // namespace
