#include "caching/GuardedExecution.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "ExternalCacheTestSupport.h"

using namespace velmora::caching;
using namespace veltest;
namespace opt = velmora::appoptions;

namespace {

class Guarded : public ExternalCacheTest {};

TEST_F(Guarded, StoreThresholdsDecideBeforeAnyBackendCall) {
    struct Case {
        unsigned int lowerBoundMs, loadTimeMs;
        int keyLimitBytes, sizeLimitMb, keyUnits;
        size_t valueBytes;
        const char* outcome;
    };
    const Case cases[] = {
        {10, 9, 4096, 64, 4, 1, "ignore-fast"},
        {10, 10, 4096, 64, 4, 1, "done"},
        {0, 0, 8, 64, 4, 1, "done"},
        {0, 0, 8, 64, 5, 1, "ignore-large-key"},
        {0, 0, 4096, 1, 4, 1048575, "done"},
        {0, 0, 4096, 1, 4, 1048576, "ignore-large"},
        {0, 0, 4096, 0, 4, 0, "ignore-large"},
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
            cache.TryStore(key, std::make_shared<ExternalBytes>(c.valueBytes), c.loadTimeMs, 7)
                .Get());
        const bool stored = std::string(c.outcome) == "done";
        EXPECT_EQ(calls.load(), stored ? 1 : 0);
        const auto info = OnlyLine("ec-store");
        EXPECT_EQ(OnlyOutcome("ec-store"), TString(c.outcome));
        const StringLookupTable expected = {
            {TString("key-hash"), ExternalCacheKeyHash(key)},
            {TString("cns"), TString("scripted")},
            {TString("key-size-b"), TString::number(2 * c.keyUnits)},
            {TString("value-size-b"), TString::number((unsigned long long)c.valueBytes)},
            {TString("load-time-ms"), TString::number(c.loadTimeMs)},
            {TString("lower-bound-ms"), TString::number(c.lowerBoundMs)},
            {TString("outcome"), TString(c.outcome)}};
        for (const auto& [name, value] : expected) EXPECT_EQ(Attr(info, name), value) << name;
        // Only a store that took the semaphore records the time-to-live and a run time.
        EXPECT_EQ(info.size(), expected.size() + (stored ? 2 : 0));
        if (stored) {
            EXPECT_EQ(Attr(info, "ttl-sec"), TString("7"));
        }
    }
}

TEST_F(Guarded, TtlIsLoggedAsDefaultOrDecimal) {
    ScriptedCache cache;
    for (auto [ttl, text] : {std::pair{-1LL, "default"}, {-5LL, "-5"}, {0LL, "0"}}) {
        Clear();
        EXPECT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, ttl).Get());
        EXPECT_EQ(Attr(OnlyLine("ec-store"), "ttl-sec"), TString(text));
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
    struct Case {
        std::function<bool()> call;
        const char *op, *outcome, *valueSize, *problem;
    };
    const Case cases[] = {
        {[&] { return cache.TryLoad(TString("hit")).Get() != nullptr; }, "ec-load", "hit", "5",
         nullptr},
        {[&] { return cache.TryLoad(TString("miss")).Get() != nullptr; }, "ec-load", "miss",
         nullptr, nullptr},
        {[&] { return cache.TryLoad(TString("boom")).Get() != nullptr; }, "ec-load", "fail",
         nullptr, "exception"},
        {[&] { return cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get(); }, "ec-store", "fail",
         "1", "exception"},
        {[&] { return cache.TryDrop(TString("k")).Get(); }, "ec-drop", "fail", nullptr,
         "exception"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.op) + " " + c.outcome);
        Clear();
        EXPECT_EQ(c.call(), std::string(c.outcome) == "hit");
        const auto info = OnlyLine(c.op);
        EXPECT_EQ(Attr(info, "outcome"), TString(c.outcome));
        EXPECT_EQ(OnlyOutcome(c.op), TString(c.outcome));
        EXPECT_EQ(Attr(info, "value-size-b"), TString(c.valueSize ? c.valueSize : "<absent>"));
        EXPECT_EQ(Attr(info, "problem"), TString(c.problem ? c.problem : "<absent>"));
        EXPECT_EQ(info.count(TString("elapsed-ms")), 1u);  // a call that ran always has a run time
    }
}

TEST_F(Guarded, CallsOutlastingTheirTimeoutFailAndFinishLater) {
    for (int timeoutMs : {30, 0}) {
        SCOPED_TRACE(timeoutMs);
        Clear();
        opt::ScopedOverride store("ExternalCacheStoreTimeoutMs", timeoutMs);
        opt::ScopedOverride drop("ExternalCacheDropTimeoutMs", timeoutMs);
        ScriptedCache cache;
        std::promise<void> release;
        auto released = release.get_future().share();
        auto finished = std::make_shared<std::atomic<int>>(0);
        cache.store = [=](TString, TString, ExternalBytesPtr, long long) {
            released.wait();
            ++*finished;
        };
        cache.drop = [=](TString, TString) {
            released.wait();
            ++*finished;
        };
        EXPECT_FALSE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
        EXPECT_FALSE(cache.TryDrop(TString("k")).Get());
        for (const char* op : {"ec-store", "ec-drop"}) {
            const auto info = OnlyLine(op);
            EXPECT_EQ(Attr(info, "outcome"), TString("fail"));
            EXPECT_EQ(Attr(info, "problem"), TString("timeout"));
            EXPECT_EQ(Attr(info, "elapsed-ms"), TString::number(timeoutMs));
        }
        release.set_value();
        for (int i = 0; i < 1000 && finished->load() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(finished->load(), 2);
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

TEST(GuardedRun, TimedOutWorkWritesOnlyItsOwnCopy) {
    StringLookupTable info{{TString("mine"), TString("1")}};
    std::promise<void> release;
    auto released = release.get_future().share();
    auto sentinel = std::make_shared<int>(0);
    std::weak_ptr<int> watch = sentinel;
    EXPECT_FALSE(velmora::caching::Run([released, sentinel]() { released.wait(); }, info,
                                       std::chrono::milliseconds(5)));
    sentinel.reset();
    EXPECT_EQ(info.at(TString("elapsed-ms")), TString("5"));
    info.erase(TString("elapsed-ms"));
    release.set_value();
    // The work item (and the function it owns) goes only after it wrote its copy.
    for (int i = 0; i < 1000 && !watch.expired(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(watch.expired());
    EXPECT_EQ(info, (StringLookupTable{{TString("mine"), TString("1")},
                                       {TString("problem"), TString("timeout")}}));

    // Without a time-out the work runs here and the caller's entries stay.
    std::thread::id ranOn;
    EXPECT_TRUE(velmora::caching::Run([&] { ranOn = std::this_thread::get_id(); }, info,
                                      kRunWithoutTimeout));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(info.at(TString("mine")), TString("1"));
    const std::string elapsed = info.at(TString("elapsed-ms")).toStdString();  // "%g"
    EXPECT_EQ(elapsed.find_first_not_of("0123456789.e-+"), std::string::npos) << elapsed;
}

TEST(GuardedSwitch, EnabledNeedsTheConfigurationSwitchAndNoDisableOption) {
    HostScope host;
    for (bool configured : {false, true}) {
        for (bool disabled : {false, true}) {
            AppConfig::GetInstance().SetExternalCacheEnabled(configured);
            opt::ScopedOverride off("ExternalCacheDisable", disabled);
            EXPECT_EQ(ExternalCacheEnabled(), configured && !disabled);
        }
    }
    AppConfig::GetInstance().SetExternalCacheEnabled(false);
}

TEST_F(Guarded, BaseRefusesNullValuesAtOnceAndSharesOthers) {
    ScriptedCache cache;
    ExternalBytesPtr seen;
    cache.store = [&](TString, TString, ExternalBytesPtr v, long long) { seen = v; };
    try {
        static_cast<void>(cache.TryStore(TString("k"), nullptr, 0, -1));
        ADD_FAILURE() << "no logic exception";
    } catch (const LogicException& e) {
        EXPECT_EQ(e.GetExpression(), "val");
        EXPECT_EQ(e.GetFile(), "public/caching/ExternalCache.h");
    }
    EXPECT_TRUE(m_host.Log().Records().empty());
    auto empty = std::make_shared<ExternalBytes>();
    EXPECT_TRUE(cache.TryStore(TString("k"), empty, 0, -1).Get());
    EXPECT_EQ(seen, empty);  // shared, not copied
    EXPECT_TRUE(cache.TryGetAllKeys().empty());
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
    EXPECT_EQ(Text(cache.TryLoad(TString("k"), 10000, nullptr)), "late");

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

TEST_F(Guarded, CacheSettingsAreFixedAtConstructionPerCallLimitsAreNot) {
    ScriptedCache cache;
    opt::ScopedOverride size("ExternalCacheUpperBound2SizeMb", 0);
    opt::ScopedOverride store("ExternalCacheStoreTimeoutMs", 0);
    opt::ScopedOverride lower("ExternalCacheLowerBoundLatencyMs", 1000);
    EXPECT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_EQ(Attr(OnlyLine("ec-store"), "outcome"), TString("done"));
    Clear();
    opt::ScopedOverride key("ExternalCacheUpperBoundKeySizeB", 1);
    EXPECT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_EQ(Attr(OnlyLine("ec-store"), "outcome"), TString("ignore-large-key"));
}

}  // namespace
