#include "caching/GuardedExecution.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "ExternalCacheTestSupport.h"

using namespace velmora::caching;
using namespace veltest;
namespace opt = velmora::appoptions;

namespace {

using Guarded = ExternalCacheTest;

// Thresholds decide before any backend call; the store line carries exactly these attributes.
TEST_F(Guarded, StoreThresholdsAndTheStoreLine) {
    struct Case {
        unsigned int lowerBoundMs, loadTimeMs;
        int keyLimitBytes, sizeLimitMb, keyUnits;
        size_t valueBytes;
        long long ttl;
        const char *outcome, *ttlText;
    };
    const Case cases[] = {
        {10, 9, 4096, 64, 4, 1, 7, "ignore-fast", nullptr},
        {10, 10, 4096, 64, 4, 1, 7, "done", "7"},
        {0, 0, 8, 64, 4, 1, -1, "done", "default"},
        {0, 0, 8, 64, 5, 1, -1, "ignore-large-key", nullptr},
        {0, 0, 4096, 1, 4, 1048575, -5, "done", "-5"},
        {0, 0, 4096, 1, 4, 1048576, -1, "ignore-large", nullptr},
        {0, 0, 4096, 0, 4, 0, -1, "ignore-large", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome + std::to_string(c.valueBytes));
        Clear();
        opt::ScopedOverride keyLimit("ExternalCacheUpperBoundKeySizeB", c.keyLimitBytes);
        opt::ScopedOverride sizeLimit("ExternalCacheUpperBound2SizeMb", c.sizeLimitMb);
        ScriptedCache cache(c.lowerBoundMs);
        std::atomic<int> calls{0};
        cache.store = [&](TString, TString, ExternalBytesPtr, long long) { ++calls; };
        const TString key(std::string(size_t(c.keyUnits), 'k').c_str());
        EXPECT_TRUE(
            cache.TryStore(key, std::make_shared<ExternalBytes>(c.valueBytes), c.loadTimeMs, c.ttl)
                .Get());
        EXPECT_EQ(calls.load(), c.ttlText ? 1 : 0);
        EXPECT_EQ(OnlyOutcome("ec-store"), TString(c.outcome));
        const auto info = OnlyLine("ec-store");
        const velmora::StringLookupTable expected = {
            {TString("key-hash"), ExternalCacheKeyHash(key)},
            {TString("cns"), TString("scripted")},
            {TString("key-size-b"), TString::number(2 * c.keyUnits)},
            {TString("value-size-b"), TString::number((unsigned long long)c.valueBytes)},
            {TString("load-time-ms"), TString::number(c.loadTimeMs)},
            {TString("lower-bound-ms"), TString::number(c.lowerBoundMs)},
            {TString("outcome"), TString(c.outcome)}};
        for (const auto& [name, value] : expected) EXPECT_EQ(Attr(info, name), value) << name;
        // Only a store that took the semaphore records the time-to-live and a run time.
        EXPECT_EQ(info.size(), expected.size() + (c.ttlText ? 2 : 0));
        EXPECT_EQ(Attr(info, "ttl-sec"), TString(c.ttlText ? c.ttlText : "<absent>"));
    }
}

TEST_F(Guarded, OutcomesOfLoadsAndOfThrowingOrEmptyBackends) {
    ScriptedCache cache;
    cache.load = [](TString key, TString) {
        if (key == TString("boom")) throw std::runtime_error("x");
        return key == TString("hit") ? Bytes("12345") : nullptr;
    };
    cache.store = [](TString, TString, ExternalBytesPtr, long long) { throw 42; };
    cache.drop = nullptr;  // an empty function counts as an exception
    const char* cases[][5] = {{"ec-load", "hit", "hit", "5", "<absent>"},
                              {"ec-load", "miss", "miss", "<absent>", "<absent>"},
                              {"ec-load", "boom", "fail", "<absent>", "exception"},
                              {"ec-store", "k", "fail", "1", "exception"},
                              {"ec-drop", "k", "fail", "<absent>", "exception"}};
    for (auto [op, key, outcome, valueSize, problem] : cases) {
        SCOPED_TRACE(std::string(op) + " " + key);
        Clear();
        const std::string o(op);
        const bool answer = o == "ec-load" ? cache.TryLoad(TString(key)).Get() != nullptr
                            : o == "ec-store"
                                ? cache.TryStore(TString(key), Bytes("v"), 0, -1).Get()
                                : cache.TryDrop(TString(key)).Get();
        EXPECT_EQ(answer, std::string(outcome) == "hit");
        const auto info = OnlyLine(op);
        EXPECT_EQ(Attr(info, "outcome"), TString(outcome));
        EXPECT_EQ(OnlyOutcome(op), TString(outcome));
        EXPECT_EQ(Attr(info, "value-size-b"), TString(valueSize));
        EXPECT_EQ(Attr(info, "problem"), TString(problem));
        EXPECT_EQ(info.count(TString("elapsed-ms")), 1u);  // a call that ran always has a run time
    }
}

// Each reads its own time-out; the call fails with the time-out as its run time.
TEST_F(Guarded, StoreAndDropOutlastingTheirTimeoutsFail) {
    opt::ScopedOverride store("ExternalCacheStoreTimeoutMs", 30);
    opt::ScopedOverride drop("ExternalCacheDropTimeoutMs", 20);
    ScriptedCache cache;
    std::promise<void> release;
    auto released = release.get_future().share();
    cache.store = [=](TString, TString, ExternalBytesPtr, long long) {
        released.wait_for(std::chrono::seconds(5));
    };
    cache.drop = [=](TString, TString) { released.wait_for(std::chrono::seconds(5)); };
    EXPECT_FALSE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_FALSE(cache.TryDrop(TString("k")).Get());
    release.set_value();
    for (auto [op, ms] : {std::pair{"ec-store", 30}, {"ec-drop", 20}}) {
        const auto info = OnlyLine(op);
        EXPECT_EQ(Attr(info, "problem"), TString("timeout")) << op;
        EXPECT_EQ(Attr(info, "elapsed-ms"), TString::number(ms)) << op;
    }
}

TEST_F(Guarded, FullSemaphoreJamsEveryOperationWithoutBackendCalls) {
    opt::ScopedOverride wait("ExternalCacheConcurrencyTimeoutMs", 0);
    std::vector<RefCntPtr<TSemaphoreScope>> held;
    for (auto hold = TryAcquireConcurrencySemaphore(); hold->IsAcquired() && held.size() < 100000;
         hold = TryAcquireConcurrencySemaphore())
        held.push_back(hold);
    ScriptedCache cache;
    std::atomic<int> calls{0};
    cache.store = [&](TString, TString, ExternalBytesPtr, long long) { ++calls; };
    cache.load = [&](TString, TString) { return ++calls, Bytes("x"); };
    cache.drop = [&](TString, TString) { ++calls; };
    EXPECT_FALSE(cache.TryStore(TString("k"), Bytes("v"), 0, 5).Get());
    EXPECT_EQ(cache.TryLoad(TString("k")).Get(), nullptr);
    EXPECT_FALSE(cache.TryDrop(TString("k")).Get());
    EXPECT_EQ(calls.load(), 0);
    for (const char* op : {"ec-store", "ec-load", "ec-drop"}) {
        const auto info = OnlyLine(op);
        EXPECT_EQ(Attr(info, "outcome"), TString("jam")) << op;
        EXPECT_EQ(OnlyOutcome(op), TString("jam"));
        EXPECT_EQ(info.count(TString("elapsed-ms")) + info.count(TString("ttl-sec")), 0u) << op;
    }
    held.clear();  // units come back when the holds go
    EXPECT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, 5).Get());
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(Guarded, TimedOutRunWritesOnlyItsOwnCopyAndUntimedRunIsInline) {
    velmora::StringLookupTable info{{TString("mine"), TString("1")}};
    std::promise<void> release;
    auto released = release.get_future().share();
    auto sentinel = std::make_shared<int>(0);
    std::weak_ptr<int> watch = sentinel;
    EXPECT_FALSE(velmora::caching::Run([released, sentinel] { released.wait(); }, info,
                                       std::chrono::milliseconds(5)));
    sentinel.reset();
    EXPECT_EQ(info.at(TString("elapsed-ms")), TString("5"));
    info.erase(TString("elapsed-ms"));
    release.set_value();
    // The work item (and the function it owns) goes only after it wrote its copy.
    ASSERT_TRUE(Eventually([&] { return watch.expired(); }));
    EXPECT_EQ(info, (velmora::StringLookupTable{{TString("mine"), TString("1")},
                                                {TString("problem"), TString("timeout")}}));
    std::thread::id ranOn;
    EXPECT_TRUE(velmora::caching::Run([&] { ranOn = std::this_thread::get_id(); }, info,
                                      kRunWithoutTimeout));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(info.at(TString("mine")), TString("1"));
    EXPECT_EQ(info.count(TString("elapsed-ms")), 1u);
}

TEST_F(Guarded, SwitchAndNullValues) {
    for (int bits = 0; bits < 4; ++bits) {
        AppConfig::GetInstance().SetExternalCacheEnabled(bits & 1);
        opt::ScopedOverride off("ExternalCacheDisable", bool(bits & 2));
        EXPECT_EQ(ExternalCacheEnabled(), bits == 1) << bits;
    }
    AppConfig::GetInstance().SetExternalCacheEnabled(false);
    ScriptedCache cache;
    ExternalBytesPtr seen;
    cache.store = [&](TString, TString, ExternalBytesPtr v, long long) { seen = v; };
    EXPECT_THROW(static_cast<void>(cache.TryStore(TString("k"), nullptr, 0, -1)),
                 velmora::LogicException);
    EXPECT_TRUE(m_host.Log().Records().empty());
    auto empty = std::make_shared<ExternalBytes>();
    EXPECT_TRUE(cache.TryStore(TString("k"), empty, 0, -1).Get());
    EXPECT_EQ(seen, empty);  // shared, not copied
}

TEST_F(Guarded, SynchronousLoadWaitsAtMostItsTimeout) {
    ScriptedCache cache;
    std::promise<void> release;
    auto released = release.get_future().share();
    cache.load = [released](TString, TString) { return released.wait(), Bytes("late"); };
    bool timedOut = false;
    EXPECT_EQ(cache.TryLoad(TString("k"), 0, &timedOut), nullptr);
    EXPECT_TRUE(timedOut);
    release.set_value();
    EXPECT_EQ(Text(cache.TryLoad(TString("k"), 10000, &timedOut)), "late");
    EXPECT_FALSE(timedOut);
    // A deferred cache always reports a time-out; the load still runs, here, on release.
    ScriptedCache deferred(0, /*async=*/false);
    std::thread::id ranOn;
    deferred.load = [&](TString, TString) {
        return ranOn = std::this_thread::get_id(), Bytes("v");
    };
    EXPECT_EQ(deferred.TryLoad(TString("k"), 1000, &timedOut), nullptr);
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

}  // namespace
