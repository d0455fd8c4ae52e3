#include "caching/GuardedExecution.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "ExternalCacheTestSupport.h"
#include "caching/ExternalCache.h"

using namespace velmora::caching;
using namespace veltest;
namespace opt = velmora::appoptions;

namespace {

class GuardedStoreTest : public ExternalCacheTest {};

TEST_F(GuardedStoreTest, ThresholdsDecideBeforeAnyBackendCall) {
    struct Case {
        const char* name;
        unsigned int lowerBoundMs, loadTimeMs;
        int keyLimitBytes, sizeLimitMb;
        int keyUnits;
        size_t valueBytes;
        const char* outcome;
    };
    const Case cases[] = {
        {"below lower bound", 10, 9, 4096, 64, 4, 1, "ignore-fast"},
        {"at lower bound", 10, 10, 4096, 64, 4, 1, "done"},
        {"key exactly at limit", 0, 0, 8, 64, 4, 1, "done"},
        {"key one unit over", 0, 0, 8, 64, 5, 1, "ignore-large-key"},
        {"value just under 1 MiB", 0, 0, 4096, 1, 4, 1048575, "done"},
        {"value of 1 MiB", 0, 0, 4096, 1, 4, 1048576, "ignore-large"},
        {"limit 0 ignores empty values", 0, 0, 4096, 0, 4, 0, "ignore-large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
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
        EXPECT_EQ(Attr(info, "outcome"), TString(c.outcome));
        EXPECT_EQ(OnlyOutcome("ec-store"), TString(c.outcome));
        EXPECT_EQ(Attr(info, "key-size-b"), TString::number(2 * c.keyUnits));
        EXPECT_EQ(Attr(info, "value-size-b"), TString::number((unsigned long long)c.valueBytes));
        EXPECT_EQ(Attr(info, "load-time-ms"), TString::number(c.loadTimeMs));
        EXPECT_EQ(Attr(info, "lower-bound-ms"), TString::number(c.lowerBoundMs));
        EXPECT_EQ(Attr(info, "cns"), TString("scripted"));
        EXPECT_EQ(Attr(info, "key-hash"), ExternalCacheKeyHash(key));
        // Only a store that took the semaphore records the time-to-live and a run time.
        EXPECT_EQ(Attr(info, "ttl-sec"), stored ? TString("7") : TString("<absent>"));
        EXPECT_EQ(info.count(TString("elapsed-ms")), stored ? 1u : 0u);
    }
}

TEST_F(GuardedStoreTest, TtlIsLoggedAsDefaultOrDecimal) {
    ScriptedCache cache;
    for (auto [ttl, text] : {std::pair{-1LL, "default"}, {60LL, "60"}, {-5LL, "-5"}, {0LL, "0"}}) {
        Clear();
        long long seen = 12345;
        cache.store = [&](TString, TString, ExternalBytesPtr, long long t) { seen = t; };
        EXPECT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, ttl).Get());
        EXPECT_EQ(seen, ttl);
        EXPECT_EQ(Attr(OnlyLine("ec-store"), "ttl-sec"), TString(text));
    }
}

TEST_F(GuardedStoreTest, ThrowingAndEmptyBackendsFail) {
    ScriptedCache cache;
    cache.store = [](TString, TString, ExternalBytesPtr, long long) {
        throw std::runtime_error("disk on fire");
    };
    EXPECT_FALSE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    auto info = OnlyLine("ec-store");
    EXPECT_EQ(Attr(info, "outcome"), TString("fail"));
    EXPECT_EQ(Attr(info, "problem"), TString("exception"));
    EXPECT_EQ(info.count(TString("elapsed-ms")), 1u);

    Clear();
    cache.drop = nullptr;  // an empty function counts as an exception
    EXPECT_FALSE(cache.TryDrop(TString("k")).Get());
    info = OnlyLine("ec-drop");
    EXPECT_EQ(Attr(info, "outcome"), TString("fail"));
    EXPECT_EQ(Attr(info, "problem"), TString("exception"));
    EXPECT_EQ(OnlyOutcome("ec-drop"), TString("fail"));
}

TEST_F(GuardedStoreTest, StoreOutlastingItsTimeoutFailsAndFinishesLater) {
    opt::ScopedOverride timeout("ExternalCacheStoreTimeoutMs", 30);
    ScriptedCache cache;
    std::promise<void> release, finished;
    auto released = release.get_future().share();
    cache.store = [&, released](TString, TString, ExternalBytesPtr, long long) {
        released.wait();
        finished.set_value();
    };
    EXPECT_FALSE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    const auto info = OnlyLine("ec-store");
    EXPECT_EQ(Attr(info, "outcome"), TString("fail"));
    EXPECT_EQ(Attr(info, "problem"), TString("timeout"));
    EXPECT_EQ(Attr(info, "elapsed-ms"), TString("30"));
    release.set_value();
    EXPECT_EQ(finished.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(GuardedStoreTest, ZeroTimeoutGivesUpAtOnce) {
    opt::ScopedOverride timeout("ExternalCacheDropTimeoutMs", 0);
    ScriptedCache cache;
    std::promise<void> release;
    auto released = release.get_future().share();
    cache.drop = [released](TString, TString) { released.wait(); };
    EXPECT_FALSE(cache.TryDrop(TString("k")).Get());
    EXPECT_EQ(Attr(OnlyLine("ec-drop"), "problem"), TString("timeout"));
    EXPECT_EQ(Attr(OnlyLine("ec-drop"), "elapsed-ms"), TString("0"));
    release.set_value();
}

TEST_F(GuardedStoreTest, LoadOutcomesAlwaysCarryRunTime) {
    ScriptedCache cache;
    cache.load = [](TString key, TString) {
        if (key == TString("boom")) throw std::runtime_error("x");
        return key == TString("hit") ? Bytes("12345") : nullptr;
    };
    struct Case {
        const char* key;
        const char* outcome;
        const char* valueSize;
        const char* problem;
    };
    for (const Case& c :
         {Case{"hit", "hit", "5", "<absent>"}, Case{"miss", "miss", "<absent>", "<absent>"},
          Case{"boom", "fail", "<absent>", "exception"}}) {
        SCOPED_TRACE(c.key);
        Clear();
        const auto value = cache.TryLoad(TString(c.key)).Get();
        EXPECT_EQ(Text(value), std::string(c.outcome) == "hit" ? "12345" : "<null>");
        const auto info = OnlyLine("ec-load");
        EXPECT_EQ(Attr(info, "outcome"), TString(c.outcome));
        EXPECT_EQ(OnlyOutcome("ec-load"), TString(c.outcome));
        EXPECT_EQ(Attr(info, "value-size-b"), TString(c.valueSize));
        EXPECT_EQ(Attr(info, "problem"), TString(c.problem));
        EXPECT_EQ(info.count(TString("elapsed-ms")), 1u);
    }
}

TEST_F(GuardedStoreTest, FullSemaphoreJamsEveryOperationWithoutBackendCalls) {
    opt::ScopedOverride wait("ExternalCacheConcurrencyTimeoutMs", 0);
    std::vector<RefCntPtr<TSemaphoreScope>> held;
    for (int i = 0; i < 100000; ++i) {
        auto hold = TryAcquireConcurrencySemaphore();
        ASSERT_TRUE(hold);
        if (!hold->IsAcquired()) break;
        held.push_back(hold);
    }
    ScriptedCache cache;
    std::atomic<int> calls{0};
    cache.store = [&](TString, TString, ExternalBytesPtr, long long) { ++calls; };
    cache.load = [&](TString, TString) {
        ++calls;
        return Bytes("x");
    };
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
    // Units come back when the holds go.
    held.clear();
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
    EXPECT_EQ(info.at(TString("problem")), TString("timeout"));
    EXPECT_EQ(info.at(TString("elapsed-ms")), TString("5"));
    info.erase(TString("elapsed-ms"));
    release.set_value();
    // The work item (and the function it owns) is gone only after it wrote its copy.
    for (int i = 0; i < 1000 && !watch.expired(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(watch.expired());
    EXPECT_EQ(info.size(), 2u);
    EXPECT_EQ(info.count(TString("elapsed-ms")), 0u);
}

TEST(GuardedRun, WithoutTimeoutRunsOnCallingThreadAndKeepsCallerEntries) {
    StringLookupTable info{{TString("mine"), TString("1")}};
    std::thread::id ranOn;
    EXPECT_TRUE(velmora::caching::Run([&] { ranOn = std::this_thread::get_id(); }, info,
                                      kRunWithoutTimeout));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(info.at(TString("mine")), TString("1"));
    // "%g": at most six significant digits, no trailing zeros.
    const std::string elapsed = info.at(TString("elapsed-ms")).toStdString();
    EXPECT_TRUE(elapsed.find_first_not_of("0123456789.e-+") == std::string::npos) << elapsed;
    EXPECT_FALSE(elapsed.size() > 1 && elapsed.find('.') != std::string::npos &&
                 elapsed.back() == '0')
        << elapsed;
    EXPECT_EQ(info.count(TString("problem")), 0u);
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

class ExternalCacheBase : public ExternalCacheTest {};

TEST_F(ExternalCacheBase, NullValueIsRefusedAtOnceEmptyValueIsStored) {
    ScriptedCache cache;
    std::atomic<int> calls{0};
    ExternalBytesPtr seen;
    cache.store = [&](TString, TString, ExternalBytesPtr v, long long) {
        ++calls;
        seen = v;
    };
    try {
        static_cast<void>(cache.TryStore(TString("k"), nullptr, 0, -1));
        ADD_FAILURE() << "no logic exception";
    } catch (const LogicException& e) {
        EXPECT_EQ(e.GetExpression(), "val");
        EXPECT_EQ(e.GetFile(), "public/caching/ExternalCache.h");
    }
    EXPECT_TRUE(m_host.Log().Find(TString("ec-store")).empty());
    auto empty = std::make_shared<ExternalBytes>();
    EXPECT_TRUE(cache.TryStore(TString("k"), empty, 0, -1).Get());
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(seen, empty);  // shared, not copied
    EXPECT_EQ(Attr(OnlyLine("ec-store"), "value-size-b"), TString("0"));
}

TEST_F(ExternalCacheBase, SynchronousLoadWaitsAtMostItsTimeout) {
    ScriptedCache cache;
    std::promise<void> release;
    auto released = release.get_future().share();
    cache.load = [released](TString, TString) {
        released.wait();
        return Bytes("late");
    };
    bool timedOut = false;
    EXPECT_EQ(cache.TryLoad(TString("k"), 0, &timedOut), nullptr);
    EXPECT_TRUE(timedOut);
    release.set_value();
    cache.load = [](TString, TString) { return Bytes("now"); };
    EXPECT_EQ(Text(cache.TryLoad(TString("k"), 10000, &timedOut)), "now");
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(Text(cache.TryLoad(TString("k"), 10000, nullptr)), "now");
}

TEST_F(ExternalCacheBase, DeferredCacheReportsTimeoutButRunsLoadOnReleasingThread) {
    ScriptedCache cache(0, /*async=*/false);
    std::thread::id ranOn;
    cache.load = [&](TString, TString) {
        ranOn = std::this_thread::get_id();
        return Bytes("v");
    };
    bool timedOut = false;
    EXPECT_EQ(cache.TryLoad(TString("k"), 1000, &timedOut), nullptr);
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(Attr(OnlyLine("ec-load"), "outcome"), TString("hit"));
    EXPECT_TRUE(cache.TryGetAllKeys().empty());
}

TEST_F(ExternalCacheBase, SettingsAreFixedAtConstructionExceptPerCallLimits) {
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
