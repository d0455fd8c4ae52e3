// Chapter 1: the plain in-memory cache.
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "Demos.h"
#include "utility/Cache.h"

using namespace CacheHelpers;

namespace {

// A payload: a named query result.
class Result : public VelCacheData {
public:
    explicit Result(std::string name) : m_name(std::move(name)) {
        m_memoryUsage = sizeof(Result) + m_name.size();
    }
    const std::string& Name() const { return m_name; }

private:
    std::string m_name;
};

std::string NameOf(const Payload& p) {
    auto* r = dynamic_cast<Result*>(p.Get());
    return r ? "\"" + r->Name() + "\"" : "null";
}

std::string Describe(const EntrySet& set) {
    std::set<std::pair<unsigned, std::string>> sorted;
    for (const Entry& e : set)
        sorted.emplace(e.GetID(), NameOf(e.GetData()) + "@" + std::to_string(e.GetClock()));
    std::string out = "{";
    for (const auto& [id, text] : sorted)
        out += (out.size() > 1 ? ", " : "") + std::string("#") + std::to_string(id) + " " + text;
    return out + "}";
}

struct NameStartsWith : EntryPredicate {
    explicit NameStartsWith(std::string prefix) : m_prefix(std::move(prefix)) {}
    bool Matches(const Entry& e) override {
        auto* r = dynamic_cast<Result*>(e.GetData().Get());
        return r && r->Name().rfind(m_prefix, 0) == 0;
    }
    std::string m_prefix;
};

void Section(const char* title) {
    std::printf("\n== %s\n", title);
}

}  // namespace

void RunCacheDemo() {
    Section("A cache with the default policy (lifetime 6 on a counting clock)");
    Cache cache;
    const unsigned sales = cache.AddEntry(Payload(new Result("sales by region")));
    const unsigned stock = cache.AddEntry(Payload(new Result("stock levels")));
    const unsigned sales2 = cache.AddEntry(Payload(new Result("sales by month")));
    std::printf("AddEntry x3 -> ids %u, %u, %u; GetSize -> %llu\n", sales, stock, sales2,
                cache.GetSize());
    std::printf("UseEntry(%u) -> %s\n", stock, NameOf(cache.UseEntry(stock)).c_str());
    std::printf("UseEntry(999999) -> %s\n", NameOf(cache.UseEntry(999999u)).c_str());

    auto salesPredicate = std::make_shared<NameStartsWith>("sales");
    std::printf("UseEntry(name starts with \"sales\") -> %s\n",
                NameOf(cache.UseEntry(salesPredicate)).c_str());
    unsigned hint = 0;
    Payload found = cache.UseEntry(salesPredicate, hint);
    std::printf("UseEntry(predicate, hint 0) -> %s, hint now %u (scan)\n", NameOf(found).c_str(),
                hint);
    found = cache.UseEntry(salesPredicate, hint);
    std::printf("UseEntry(predicate, hint %u) -> %s (hint matched, no scan)\n", hint,
                NameOf(found).c_str());
    cache.DeleteEntry(hint);
    const unsigned stale = hint;
    found = cache.UseEntry(salesPredicate, hint);
    std::printf("after DeleteEntry(%u): UseEntry(predicate, hint %u) -> %s, hint rewritten to %u\n",
                stale, stale, NameOf(found).c_str(), hint);

    Section("Eviction by lifetime: IncrementClock purges what was not used for 6 ticks");
    for (int tick = 1; tick <= 9; ++tick) {
        if (tick == 3) {
            cache.UseEntry(stock);
            std::printf("  clock %llu: UseEntry(%u) refreshes it\n", cache.GetClock(), stock);
        }
        EntrySet purged = cache.IncrementClock();
        std::printf("  IncrementClock -> clock %llu, purged %s\n", cache.GetClock(),
                    Describe(purged).c_str());
    }
    std::printf("left: %s\n", Describe(cache.GetEntries()).c_str());

    Section("Most recently used: MRUPolicy(2) keeps the two freshest of five");
    Cache mru(std::make_shared<MRUPolicy>(2));
    for (int i = 0; i < 5; ++i) {
        mru.AddEntry(Payload(new Result("report " + std::to_string(i))));
        mru.JustIncrementClock();
    }
    std::printf("Purge -> removed %s\n", Describe(mru.Purge()).c_str());
    std::printf("left: %s\n", Describe(mru.GetEntries()).c_str());

    Section("Predicate and cascaded policies, passed for one purge");
    Cache mixed(std::make_shared<MRUPolicy>(10));
    for (const char* name : {"sales q1", "sales q2", "stock q1", "stock q2", "costs q1"}) {
        mixed.AddEntry(Payload(new Result(name)));
        mixed.JustIncrementClock();
    }
    auto dropSales =
        std::make_shared<EntryPredicatePolicy>(std::make_shared<NameStartsWith>("sales"));
    std::printf("Purge(EntryPredicatePolicy(sales*)) -> removed %s\n",
                Describe(mixed.Purge(dropSales)).c_str());
    auto cascaded = std::make_shared<CascadedPolicy>(
        std::make_shared<EntryPredicatePolicy>(std::make_shared<NameStartsWith>("costs")));
    cascaded->AddPolicy(std::make_shared<MRUPolicy>(1));
    std::printf("Purge(Cascaded(drop costs*, then MRU 1)) -> removed %s\n",
                Describe(mixed.Purge(cascaded)).c_str());
    std::printf("left: %s; the cache's own policy is still MRUPolicy: %s\n",
                Describe(mixed.GetEntries()).c_str(),
                std::dynamic_pointer_cast<MRUPolicy>(mixed.GetPolicy()) ? "yes" : "no");

    Section("Wall-clock lifetime: LifetimePolicy(150 ms) on the system clock");
    Cache timed(std::make_shared<LifetimePolicy>(150), CreateSystemClock());
    const unsigned fresh = timed.AddEntry(Payload(new Result("live quote")));
    std::printf("AddEntry -> %u; Purge now -> removed %s\n", fresh,
                Describe(timed.Purge()).c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::printf("300 ms later, Purge -> removed %s\n", Describe(timed.Purge()).c_str());

    Section("Deleting everything hands back what was held");
    const EntrySet all = mru.DeleteEntries();
    std::printf("DeleteEntries() -> %s; GetSize -> %llu\n", Describe(all).c_str(), mru.GetSize());
}
