// Chapter: cascade invalidation. Two query jobs run on two threads, each under its own scope,
// and read entries of one shared cache; a result keeper registers a handler on each scope. When
// the coherence side reports an entry dirty, only the jobs that used it are told, once.
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Demos.h"
#include "caching/CascadeInvalidator.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "utility/SynchronizedCache.h"
#include "velcore/AppOptions.h"
#include "velcore/ThreadContext.h"
#include "velsys/Locks.h"

using velmora::ScopedThreadContext;
using velmora::TMutex;
using velmora::TMutexLock;

using namespace velmora::caching;

namespace {

class Table : public VelCacheData {
public:
    explicit Table(std::string name) : m_name(std::move(name)) {}
    const std::string& Name() const { return m_name; }

private:
    std::string m_name;
};

TMutex s_printMutex;

template <class... Args>
void Say(const char* format, Args... args) {
    TMutexLock lock(s_printMutex);
    std::printf(format, args...);
}

// Keeps one job's result and drops it when told that the scope it was built under is dirty.
class ResultKeeper : public IScopeDirtyHandler {
public:
    explicit ResultKeeper(std::string job) : m_job(std::move(job)) {}
    void OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>&) override {
        Say("  handler of %s told: its scope is dirty, result dropped\n", m_job.c_str());
        ++m_told;
    }
    int Told() const { return m_told; }

private:
    std::string m_job;
    std::atomic<int> m_told{0};
};

// Runs one query job on its own thread: a scope, the entries it reads, a handler on the scope.
void RunJob(const std::string& job, SynchronizedCache& cache,
            const std::vector<std::pair<std::string, unsigned>>& reads,
            const std::shared_ptr<ResultKeeper>& keeper) {
    ScopedThreadContext context;  // the host binds a context to each worker thread
    std::shared_ptr<IInvalidatorAggregatorScope> scope =
        CascadeInvalidatorAggregator_CreateQueryJobScope();
    CascadeInvalidatorAggregator* aggregator = CascadeInvalidatorAggregator::TryGetSingleton();
    std::string used;
    for (const auto& [name, id] : reads) {
        if (cache.TryGetEntry(id)) aggregator->OnEntryUsed(id, &cache);
        used += (used.empty() ? "" : ", ") + name + " #" + std::to_string(id);
    }
    scope->EndScope();
    scope->AddHandler(keeper);
    Say("  %s (thread %zx) used %s; handler registered\n", job.c_str(),
        std::hash<std::thread::id>()(std::this_thread::get_id()) & 0xffff, used.c_str());
}

// What the coherence service does for a dirty entry: the cache drops it, then every installed
// invalidator is told.
void ReportDirty(SynchronizedCache& cache, const std::string& name, unsigned id) {
    Say("\nentry %s #%u is dirty (another process replaced it):\n", name.c_str(), id);
    cache.OnDirty({id});
    for (ICascadeInvalidator* invalidator :
         CascadeInvalidatorHolderFactory::GetInstance().GetInvalidators()) {
        if (invalidator) invalidator->OnDirty({id}, &cache);
    }
}

}  // namespace

void RunCascadeDemo() {
    std::printf("\n== Cascade invalidation: two query jobs on two threads\n");
    velmora::appoptions::ScopedOverride syncCaches(TString("SyncCaches"), true);
    CascadeInvalidatorAggregator* aggregator = CascadeInvalidatorAggregator::TryGetSingleton();
    ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
    if (holder.GetInvalidators().empty())  // the host installs its invalidators once
        holder.Initialize({aggregator, nullptr, nullptr, nullptr});

    TReadWriteLock lock;
    SynchronizedCache cache(std::make_shared<CacheHelpers::MRUPolicy>(100), &lock);
    std::map<std::string, unsigned> ids;
    for (const char* name : {"sales", "regions", "products"})
        ids[name] = cache.AddEntry(CacheHelpers::Payload(new Table(name)));

    auto keeperA = std::make_shared<ResultKeeper>("job A");
    auto keeperB = std::make_shared<ResultKeeper>("job B");
    std::thread jobA(RunJob, "job A", std::ref(cache),
                     std::vector<std::pair<std::string, unsigned>>{{"sales", ids["sales"]},
                                                                   {"regions", ids["regions"]}},
                     keeperA);
    std::thread jobB(RunJob, "job B", std::ref(cache),
                     std::vector<std::pair<std::string, unsigned>>{{"products", ids["products"]},
                                                                   {"regions", ids["regions"]}},
                     keeperB);
    jobA.join();
    jobB.join();
    std::printf("scopes tracked by the aggregator: %zu\n", aggregator->GetScopeCount());

    ReportDirty(cache, "sales", ids["sales"]);
    std::printf("  -> job A told %d time(s), job B %d time(s); scopes tracked: %zu\n",
                keeperA->Told(), keeperB->Told(), aggregator->GetScopeCount());

    ReportDirty(cache, "regions", ids["regions"]);
    std::printf(
        "  -> job A told %d time(s) (already dirty, not told again), job B %d time(s);"
        " scopes tracked: %zu\n",
        keeperA->Told(), keeperB->Told(), aggregator->GetScopeCount());
    std::printf("cache now holds %llu entr%s\n", cache.GetSize(),
                cache.GetSize() == 1 ? "y" : "ies");
}
