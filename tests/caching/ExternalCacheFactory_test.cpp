#include "caching/ExternalCacheFactory.h"

#include <gtest/gtest.h>

#include "ExternalCacheTestSupport.h"
#include "caching/DiskExternalCache.h"

using namespace velmora::caching;
using namespace veltest;
using F = velmora::caching::ExternalCacheFactory;

namespace {

using Null = NullExternalCache<TString, ExternalBytes>;

class Factory : public ExternalCacheTest {
protected:
    ~Factory() override {
        F::Initialize(F::MakeNullCache());
        F::AllowFactoryOverridePerNamespace(true);
    }
    // Makes a cache for `ns` and tells whether it is a `T`.
    template <class T>
    static bool Makes(const char* ns) {
        return dynamic_cast<T*>(F::MakeCache(TString(ns), 1, 2).get()) != nullptr;
    }

    ScratchDir m_dir;  // external caching on
    std::vector<TString> m_asked;
};

TEST_F(Factory, OverrideNamespacesAreDiskCachesUntilDisallowed) {
    F::UnInitialize();  // the default: null caches
    EXPECT_TRUE(Makes<Null>("PSC") && Makes<Null>("anything"));
    F::Initialize(F::FactoryFunc([this](TString ns, unsigned long long, unsigned int) {
        m_asked.push_back(ns);
        return ExternalCachePtr(std::make_shared<ScriptedCache>());
    }));
    for (const char* ns : {"MapTiles", "WAV2", "IS"})
        EXPECT_TRUE(Makes<DiskExternalCache>(ns)) << ns;
    EXPECT_TRUE(Makes<ScriptedCache>("PSC"));
    EXPECT_EQ(m_asked, std::vector<TString>{TString("PSC")});
    AppConfig::GetInstance().SetExternalCacheEnabled(false);
    EXPECT_TRUE(Makes<Null>("MapTiles"));
    F::AllowFactoryOverridePerNamespace(false);
    for (const char* ns : {"MapTiles", "WAV2", "IS"}) EXPECT_TRUE(Makes<ScriptedCache>(ns)) << ns;

    // An extended function replaces the plain one and receives the options.
    StringOptionTable seen;
    F::Initialize(
        F::FactoryFuncEx([&](TString, const StringOptionTable& options) -> ExternalCachePtr {
            seen = options;
            return nullptr;  // returned unchanged
        }));
    const StringOptionTable options{{TString("host"), TString("h1")}};
    EXPECT_EQ(F::MakeCache(TString("PSC"), 1, 2, options), nullptr);
    EXPECT_EQ(seen, options);
    EXPECT_EQ(F::MakeCache(TString("PSC"), 1, 2), nullptr);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(m_asked.size(), 4u);  // the plain function was not asked again
}

TEST_F(Factory, UnInitializeRestoresTheNullCache) {
    F::Initialize(F::FactoryFunc([](TString, unsigned long long, unsigned int) {
        return ExternalCachePtr(std::make_shared<ScriptedCache>());
    }));
    F::UnInitialize();
    F::UnInitialize();  // the null-cache function is installed again
    EXPECT_TRUE(Makes<Null>("PSC"));
}

TEST_F(Factory, AnEmptyFactoryFunctionIsMisuse) {
    F::Initialize(F::FactoryFunc());
    EXPECT_THROW(F::MakeCache(TString("PSC"), 1, 2), velmora::LogicException);
    EXPECT_THROW(F::UnInitialize(), velmora::LogicException);
    EXPECT_TRUE(Makes<DiskExternalCache>("IS"));  // needs no installed function
}

TEST_F(Factory, NullCacheAnswersAtOnceWithoutTraces) {
    const auto cache = F::MakeNullCache()(TString("x"), 0, 0);
    EXPECT_EQ(
        cache->TryStore(TString("k"), Bytes("v"), 0, -1).WaitFor(std::chrono::milliseconds(0)),
        AsyncTask::FutureStatus::Ready);
    EXPECT_EQ(cache->TryLoad(TString("k")).WaitFor(std::chrono::milliseconds(0)),
              AsyncTask::FutureStatus::Ready);
    EXPECT_TRUE(cache->TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_EQ(cache->TryLoad(TString("k")).Get(), nullptr);
    EXPECT_TRUE(cache->TryDrop(TString("k")).Get());
    EXPECT_TRUE(m_host.Log().Records().empty());
    EXPECT_TRUE(m_host.Metrics().Records().empty());
}

}  // namespace
