// Chapter: the indexed cache and the lock-protected caches.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Demos.h"
#include "utility/IndexedCache.h"
#include "utility/SynchronizedCache.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velsys/Locks.h"

using namespace CacheHelpers;

namespace {

// A payload: one query's result, filed by the region it covers.
class RegionResult : public VelCacheData {
public:
    RegionResult(std::string region, std::string query)
        : m_region(std::move(region)), m_query(std::move(query)) {}
    const std::string& Region() const { return m_region; }
    const std::string& Query() const { return m_query; }

private:
    std::string m_region;
    std::string m_query;
};

const RegionResult* ResultOf(const Payload& p) {
    return dynamic_cast<RegionResult*>(p.Get());
}

std::string Text(const Payload& p) {
    const RegionResult* r = ResultOf(p);
    return r ? "\"" + r->Query() + " (" + r->Region() + ")\"" : "null";
}

TString RegionKey(const Entry& e) {
    const RegionResult* r = ResultOf(e.GetData());
    return TString::fromStdString(r ? r->Region() : std::string());
}

// Results for one region whose query starts with a prefix; answered from the "region" index.
struct RegionQuery : EntryPredicate {
    RegionQuery(std::string region, std::string prefix)
        : m_region(std::move(region)), m_prefix(std::move(prefix)) {}
    bool Matches(const Entry& e) override {
        ++m_asked;
        const RegionResult* r = ResultOf(e.GetData());
        return r && r->Region() == m_region && r->Query().rfind(m_prefix, 0) == 0;
    }
    TString GetIndexName() const override { return "region"; }
    TString GetKeyForIndexing() const override { return TString::fromStdString(m_region); }
    bool HasIndex() const override { return true; }

    std::string m_region;
    std::string m_prefix;
    int m_asked = 0;
};

std::string Ids(const std::set<unsigned int>& ids) {
    std::string out = "{";
    for (unsigned int id : ids) out += (out.size() > 1 ? ", " : "") + std::to_string(id);
    return out + "}";
}

std::string Ids(const EntrySet& entries) {
    std::set<unsigned int> ids;
    for (const Entry& e : entries) ids.insert(e.GetID());
    return Ids(ids);
}

void Section(const char* title) {
    std::printf("\n== %s\n", title);
}

}  // namespace

void RunIndexedAndSynchronizedDemo() {
    Section("An indexed cache answers a predicate from its index");
    IndexedCache cache(std::make_shared<MRUPolicy>(100), nullptr);
    std::printf("AddIndex(\"region\") -> %s\n",
                cache.AddIndex("region", RegionKey) ? "true" : "false");
    const char* rows[][2] = {{"north", "sales q1"}, {"south", "sales q1"}, {"north", "sales q2"},
                             {"east", "stock q1"},  {"north", "stock q2"}, {"south", "sales q2"}};
    for (const auto& row : rows) {
        const unsigned int id = cache.AddEntry(Payload(new RegionResult(row[0], row[1])));
        std::printf("  AddEntry(%s) -> id %u, filed under \"%s\"\n",
                    Text(cache.GetEntry(id).GetData()).c_str(), id,
                    IndexedCache::MakeIndexKey("region", row[0]).toStdString().c_str());
    }
    std::printf("GetIndexedEntryCount -> %llu index keys for %llu entries\n",
                cache.GetIndexedEntryCount(), cache.GetEntryCount());
    std::printf("GetHints(\"region\", \"north\") -> %s\n",
                Ids(cache.GetHints("region", "north")).c_str());
    auto northSales = std::make_shared<RegionQuery>("north", "sales");
    unsigned int hint = 0;
    const Payload found = cache.UseEntryGetHint(northSales, hint);
    std::printf(
        "UseEntryGetHint(north, sales*) -> %s, hint %u; the predicate was asked %d times "
        "(only entries filed under region|north, not all %llu)\n",
        Text(found).c_str(), hint, northSales->m_asked, cache.GetEntryCount());

    Section("Hints are pruned: at most two results per region");
    auto north = std::make_shared<RegionQuery>("north", "");
    for (int round = 0; round < 3; ++round) {
        const Entry pruned = cache.PruneHints(north, 2);
        std::printf("PruneHints(region|north, limit 2) -> %s; hints now %s\n",
                    pruned.GetID() ? ("deleted oldest id " + std::to_string(pruned.GetID())).c_str()
                                   : "nothing to prune",
                    Ids(cache.GetHints("region", "north")).c_str());
    }
    const EntrySet southSales =
        cache.DeleteEntries(std::make_shared<RegionQuery>("south", "sales"));
    std::printf(
        "DeleteEntries(south, sales*) through the index -> removed %s; index keys now %llu\n",
        Ids(southSales).c_str(), cache.GetIndexedEntryCount());

    Section("Two threads share a lock-protected cache");
    TReadWriteLock lock;
    SynchronizedIndexedCache shared(std::make_shared<MRUPolicy>(8), &lock, nullptr);
    shared.AddIndex("region", RegionKey);
    std::atomic<bool> writing{true};
    std::atomic<int> hits{0}, misses{0};
    std::latch start(2);
    std::thread writer([&] {
        start.arrive_and_wait();
        for (int i = 0; i < 40; ++i) {
            const std::string region = i % 2 ? "north" : "south";
            auto [id, replaced] = shared.AddEntryAndDeleteExistingEntriesItMatches(
                Payload(new RegionResult(region, "sales v" + std::to_string(i))),
                std::make_shared<RegionQuery>(region, "sales"));
            if (i < 4)
                std::printf("  writer: result v%d for %s -> id %u, replaced %s\n", i,
                            region.c_str(), id, Ids(replaced).c_str());
            // A new result every millisecond, so that the reader runs in between.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        writing = false;
    });
    std::thread reader([&] {
        start.arrive_and_wait();
        unsigned int readerHint = 0;
        auto query = std::make_shared<RegionQuery>("north", "sales");
        while (writing.load()) {
            if (shared.TryGetEntryUpdateHint(query, readerHint))
                ++hits;
            else
                ++misses;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    writer.join();
    reader.join();
    unsigned int lastHint = 0;
    Payload latest =
        shared.TryGetEntryAndHint(std::make_shared<RegionQuery>("north", "sales"), lastHint);
    std::printf("reader: %d lookups found a north result, %d found none yet\n", hits.load(),
                misses.load());
    std::printf("after both threads: %llu entries (one per region), north -> %s (id %u)\n",
                shared.GetEntryCount(), Text(latest).c_str(), lastHint);

    SynchronizedCache plain(std::make_shared<MRUPolicy>(2), &lock);
    for (int i = 0; i < 4; ++i)
        plain.AddEntry(Payload(new RegionResult("west", "q" + std::to_string(i))));
    const std::size_t purged = plain.Purge().size();
    std::printf(
        "a SynchronizedCache on the same lock: 4 added, Purge(MRU 2) removed %zu, size %llu\n",
        purged, plain.GetSize());
    const unsigned int dirty = plain.AddEntry(Payload(new RegionResult("west", "q-dirty")));
    plain.OnDirty({dirty, 999999});
    std::printf("OnDirty({%u, 999999}) -> size %llu (unknown id ignored)\n", dirty,
                plain.GetSize());
}
