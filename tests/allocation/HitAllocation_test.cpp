// What a hit asks of the allocator: nothing. This binary replaces the C library's malloc family
// (operator new, Qt's strings, hiredis and OpenSSL all end there) and counts the requests the
// watching thread makes while a test watches. Not built with a sanitizer, which replaces the
// same functions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "caching/CascadeInvalidator.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/DiskExternalCache.h"
#include "caching/ExternalCacheTestSupport.h"
#include "caching/ReadThroughCache.h"
#include "caching/RedisExternalCache.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "utility/SynchronizedCache.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velcore/ThreadContext.h"
#include "velcoreplatform/TLog.h"
#include "velsys/Locks.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {

// Initial-exec: reading them never allocates (as a lazily allocated thread-local could).
__attribute__((tls_model("initial-exec"))) thread_local bool t_watching = false;
__attribute__((tls_model("initial-exec"))) thread_local long t_requests = 0;

// Every thread's requests, while a test watches the whole process: a Redis read runs on the
// pool's threads, not on the caller's.
std::atomic<bool> g_watchingAll{false};
std::atomic<long> g_allRequests{0};

void Count() {
    if (t_watching) ++t_requests;
    if (g_watchingAll.load(std::memory_order_relaxed))
        g_allRequests.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    Count();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    Count();
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
    Count();
    return __libc_realloc(p, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    Count();
    void* p = __libc_memalign(alignment, size);
    if (!p) return 12;  // ENOMEM
    *out = p;
    return 0;
}
void free(void* p) {
    __libc_free(p);
}
}

namespace {

using namespace velmora::caching;

// The requests `work` makes on this thread.
template <class Work>
long RequestsOf(Work&& work) {
    t_requests = 0;
    t_watching = true;
    work();
    t_watching = false;
    return t_requests;
}

// The requests every thread of the process makes while `work` runs.
template <class Work>
long ProcessRequestsOf(Work&& work) {
    g_allRequests = 0;
    g_watchingAll = true;
    work();
    g_watchingAll = false;
    return g_allRequests.load();
}

using Cache = ReadThroughCache<std::string>;

const std::string kHitKey = "a key longer than the small-string buffer";

// A cache named `name` over `layer` alone, whose value of kHitKey has reached the layer (the
// store is a task).
std::unique_ptr<Cache> CacheStoredIn(
    const std::string& name, const std::shared_ptr<ExternalCache<TString, ExternalBytes>>& layer) {
    ReadThroughOptions options;
    options.name = name;
    options.memoryEntries = 0;
    options.layers = {layer};
    auto cache = std::make_unique<Cache>(options);
    cache->Get(kHitKey, [] { return std::string(100, 'v'); });
    const TString external = cache->Core().ExternalKey(kHitKey);
    for (int i = 0; i < 5000 && !layer->LoadOnThisThread(external); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return cache;
}

class HitAllocation : public ::testing::Test {
protected:
    veltest::HostScope m_host;
};

TEST(AllocationCounter, SeesEveryWayToTheHeap) {
    // The counter itself: a test of zero means nothing if it misses requests.
    EXPECT_EQ(RequestsOf([] { std::free(std::malloc(64)); }), 1);
    EXPECT_EQ(RequestsOf([] { delete new std::string(100, 'x'); }), 2);  // object and text
    EXPECT_EQ(RequestsOf([] { TString text("a text longer than any small buffer"); }), 1);
}

// A memory hit wrapped the loader in a std::function for every Get, the key copied into it,
// whether or not the loader was going to run.
TEST_F(HitAllocation, AMemoryHitWrappedItsLoaderForEveryGet) {
    ReadThroughOptions options;
    options.name = "hits";
    options.memoryEntries = 100;
    options.eagerRefreshFraction = 0.9;  // on, and not due
    Cache cache(options);
    const std::string key = "a key longer than the small-string buffer";
    const std::string padding(64, 'p');  // a capture no std::function keeps inline
    const auto loadWithKey = [padding](const std::string& k) { return k + padding; };
    const auto load = [padding] { return padding; };
    cache.Get(key, loadWithKey);
    cache.SetLoader(loadWithKey);
    options.eagerRefreshFraction = 0;  // a value lent from memory needs no refresh check
    Cache lending(options);
    lending.Get(key, load);
    const auto size = [](const std::string& value) { return value.size(); };
    for (int i = 0; i < 3; ++i) cache.Get(key, load), lending.Visit(key, load, size);  // warm
    EXPECT_EQ(RequestsOf([&] {
                  for (int i = 0; i < 1000; ++i) {
                      cache.Get(key, loadWithKey);
                      cache.Get(key, load);
                      cache.Get(key);
                      cache.TryGet(key);
                      cache.Visit(key, load, size);
                      lending.Visit(key, load, size);
                  }
              }),
              0);
    EXPECT_EQ(cache.GetCounters().loads, 1);
    EXPECT_EQ(lending.GetCounters().loads, 1);
}

// A memory hit inside a query job records its entry in the job's scope: a set insert the first
// time the job uses the entry (a node, now and then a larger table), nothing after that.
TEST_F(HitAllocation, AMemoryHitInAQueryJobOnlyRecordsItsEntry) {
    velmora::appoptions::Set(TString("SyncCaches"), true);
    // The default sink's level (Warn): the test environment's sink takes every line, and a line
    // per entry used is what a host that asks for them pays.
    velmora::ScopedLogSink defaultLevel(std::make_shared<velmora::CapturingLogSink>(TLog::Warn));
    velmora::ScopedThreadContext context;
    ReadThroughOptions options;
    options.name = "scoped-hits";
    options.memoryEntries = 1000;
    Cache cache(options);
    std::vector<std::string> keys;
    for (int i = 0; i < 500; ++i) {
        keys.push_back("a key longer than the small-string buffer " + std::to_string(i));
        cache.Get(keys.back(), [] { return std::string("v"); });
    }
    const auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
    ASSERT_NE(scope, nullptr);
    cache.Get(keys[0], [] { return std::string("never"); });  // warm: the scope's first record
    const long firstUses = RequestsOf([&] {
        for (const std::string& key : keys) cache.Get(key, [] { return std::string("never"); });
    });
    EXPECT_LE(firstUses, 2 * static_cast<long>(keys.size()));
    EXPECT_EQ(RequestsOf([&] {
                  for (int round = 0; round < 4; ++round)
                      for (const std::string& key : keys)
                          cache.Get(key, [] { return std::string("never"); });
              }),
              0);
    EXPECT_EQ(cache.GetCounters().loads, static_cast<long long>(keys.size()));
    scope->EndScope();
    CascadeInvalidatorAggregator::TryGetSingleton()->ResetForTest();
    CascadeInvalidatorHolderFactory::GetInstance().ResetForTest();
    std::printf("requests per first use of an entry in a query job %.2f\n",
                static_cast<double>(firstUses) / static_cast<double>(keys.size()));
}

// What a disk hit and a fill ask of the allocator, per Get: small and fixed, whatever the
// number of Gets (the bounds are the counts measured when they were set, with a little room;
// docs/operating.md states them).
TEST_F(HitAllocation, ADiskHitAndAFillMakeAFewRequestsEach) {
    veltest::ScratchDir dir;
    const auto below =
        CacheStoredIn("disk-hits", std::make_shared<DiskExternalCache>(TString("hits"), nullptr));
    const std::string& key = kHitKey;
    ASSERT_EQ(below->Get(key, [] { return std::string("never"); }).source,
              ReadThroughSource::External);
    const long perDiskHit = RequestsOf([&] {
                                for (int i = 0; i < 100; ++i)
                                    below->Get(key, [] { return std::string("never"); });
                            }) /
                            100;
    EXPECT_LE(perDiskHit, 50);

    ReadThroughOptions options;
    options.name = "fills";
    options.memoryEntries = 1000;
    Cache memory(options);
    std::vector<std::string> keys;
    for (int i = 0; i < 3000; ++i) keys.push_back("row:" + std::to_string(i));
    for (int i = 0; i < 1000; ++i)
        memory.Get(keys[static_cast<std::size_t>(i)], [] { return std::string("v"); });
    const long perFill =
        RequestsOf([&] {
            for (int i = 1000; i < 3000; ++i)
                memory.Get(keys[static_cast<std::size_t>(i)], [] { return std::string("v"); });
        }) /
        2000;
    EXPECT_LE(perFill, 20);
    RecordProperty("requests per disk hit", static_cast<int>(perDiskHit));
    RecordProperty("requests per fill", static_cast<int>(perFill));
    std::printf("requests per disk hit %ld, per fill %ld\n", perDiskHit, perFill);
}

class RedisHitAllocation : public veltest::RedisServerTest {
protected:
    veltest::HostScope m_host;
};

// What a Redis hit asks of the allocator, on every thread it takes (the caller's, the pool's,
// the connection's): small and fixed per Get, like a disk hit's.
TEST_F(RedisHitAllocation, ARedisHitMakesAFewRequests) {
    auto pool = std::make_shared<RedisConnectionPool>(Server().MakeConfig());
    const auto below =
        CacheStoredIn("redis-hits", std::make_shared<RedisExternalCache>(TString("hits"), pool));
    const std::string& key = kHitKey;
    for (int i = 0; i < 10; ++i)  // warm: connections made, threads started, buffers grown
        ASSERT_EQ(below->Get(key, [] { return std::string("never"); }).source,
                  ReadThroughSource::External);
    const long perRedisHit = ProcessRequestsOf([&] {
                                 for (int i = 0; i < 100; ++i)
                                     below->Get(key, [] { return std::string("never"); });
                             }) /
                             100;
    EXPECT_GT(perRedisHit, 0);  // the counter sees the other threads' requests
    EXPECT_LE(perRedisHit, 70);
    EXPECT_EQ(below->GetCounters().loads, 1);
    RecordProperty("requests per Redis hit", static_cast<int>(perRedisHit));
    std::printf("requests per Redis hit %ld\n", perRedisHit);
}

TEST(LockProtectedCacheAllocation, ALookupByIdAllocatesNothing) {
    SynchronizedIndexedCache indexed(std::make_shared<CacheHelpers::MRUPolicy>(10),
                                     CacheHelpers::CreateSystemClock());
    TReadWriteLock lock(0);
    SynchronizedCache plain(std::make_shared<CacheHelpers::MRUPolicy>(10), &lock);
    const unsigned int inIndexed = indexed.AddEntry(CacheHelpers::Payload(new VelCacheData));
    const unsigned int inPlain = plain.AddEntry(CacheHelpers::Payload(new VelCacheData));
    indexed.TryGetEntry(inIndexed);
    plain.TryGetEntry(inPlain);
    EXPECT_EQ(RequestsOf([&] {
                  for (int i = 0; i < 1000; ++i) {
                      EXPECT_TRUE(indexed.TryGetEntry(inIndexed));
                      EXPECT_TRUE(plain.TryGetEntry(inPlain));
                  }
              }),
              0);
}

}  // namespace
