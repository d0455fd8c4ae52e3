#include "caching/ExternalCacheFactory.h"

#include <gtest/gtest.h>

#include "ExternalCacheTestSupport.h"
#include "caching/DiskExternalCache.h"

using namespace velmora::caching;
using namespace veltest;

namespace {

using Null = NullExternalCache<TString, ExternalBytes>;

std::string FailedExpression(const std::function<void()>& f) {
    try {
        f();
    } catch (const LogicException& e) {
        EXPECT_EQ(e.GetFile(), "main/caching/ExternalCacheFactory.cpp");
        return e.GetExpression();
    }
    return "<none>";
}

class Factory : public ExternalCacheTest {
protected:
    ~Factory() override {
        ExternalCacheFactory::Initialize(ExternalCacheFactory::MakeNullCache());
        ExternalCacheFactory::AllowFactoryOverridePerNamespace(true);
    }
    // A plain function that records the namespaces it was asked for and makes scripted caches.
    ExternalCacheFactory::FactoryFunc Recording() {
        return [this](TString ns, unsigned long long, unsigned int) -> ExternalCachePtr {
            m_asked.push_back(ns);
            return std::make_shared<ScriptedCache>();
        };
    }
    template <class T>
    static bool Is(const ExternalCachePtr& cache) {
        return dynamic_cast<T*>(cache.get()) != nullptr;
    }

    ScratchDir m_dir;  // external caching on
    std::vector<TString> m_asked;
};

TEST_F(Factory, DefaultStateGivesNullCachesExceptOverriddenNamespaces) {
    ExternalCacheFactory::UnInitialize();
    for (const TString& ns :
         {ExternalCacheFactory::PortableSessionCheckpointNamespace, TString("anything")})
        EXPECT_TRUE(Is<Null>(ExternalCacheFactory::MakeCache(ns, 10, 0))) << ns;
    EXPECT_TRUE(Is<DiskExternalCache>(ExternalCacheFactory::MakeCache(TString("MapTiles"), 0, 0)));
}

TEST_F(Factory, OverrideNamespacesIgnoreTheInstalledFunctionUntilDisallowed) {
    ExternalCacheFactory::Initialize(Recording());
    const std::vector<TString> overridden = {TString("MapTiles"), TString("WAV2"), TString("IS")};
    for (const TString& ns : overridden)
        EXPECT_TRUE(Is<DiskExternalCache>(ExternalCacheFactory::MakeCache(ns, 1, 2))) << ns;
    EXPECT_TRUE(Is<ScriptedCache>(ExternalCacheFactory::MakeCache(TString("PSC"), 1, 2)));
    EXPECT_EQ(m_asked, std::vector<TString>{TString("PSC")});

    AppConfig::GetInstance().SetExternalCacheEnabled(false);
    EXPECT_TRUE(Is<Null>(ExternalCacheFactory::MakeCache(TString("MapTiles"), 1, 2)));

    ExternalCacheFactory::AllowFactoryOverridePerNamespace(false);
    EXPECT_FALSE(ExternalCacheFactory::AllowFactoryOverridePerNamespace());
    for (const TString& ns : overridden)
        EXPECT_TRUE(Is<ScriptedCache>(ExternalCacheFactory::MakeCache(ns, 1, 2))) << ns;
}

TEST_F(Factory, ExtendedFunctionReplacesPlainAndReceivesTheOptions) {
    ExternalCacheFactory::Initialize(Recording());
    StringOptionTable seen;
    ExternalCacheFactory::Initialize(ExternalCacheFactory::FactoryFuncEx(
        [&](TString, const StringOptionTable& options) -> ExternalCachePtr {
            seen = options;
            return nullptr;  // returned unchanged
        }));
    const StringOptionTable options{{TString("host"), TString("h1")}};
    EXPECT_EQ(ExternalCacheFactory::MakeCache(TString("PSC"), 1, 2, options), nullptr);
    EXPECT_EQ(seen, options);
    EXPECT_EQ(ExternalCacheFactory::MakeCache(TString("PSC"), 1, 2), nullptr);
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(m_asked.empty());
}

TEST_F(Factory, EmptyFunctionsAreMisuseAndUnInitializeRestoresTheNullCache) {
    ExternalCacheFactory::Initialize(Recording());
    ExternalCacheFactory::UnInitialize();
    ExternalCacheFactory::UnInitialize();  // the null-cache function is installed again
    EXPECT_TRUE(Is<Null>(ExternalCacheFactory::MakeCache(TString("PSC"), 1, 2)));

    ExternalCacheFactory::Initialize(ExternalCacheFactory::FactoryFunc());
    EXPECT_EQ(FailedExpression([] { ExternalCacheFactory::MakeCache(TString("PSC"), 1, 2); }),
              "cacheFactoryFunc || cacheFactoryFuncEx");
    EXPECT_EQ(FailedExpression([] { ExternalCacheFactory::UnInitialize(); }),
              "cacheFactoryFunc || cacheFactoryFuncEx");
    // The override namespaces do not need an installed function.
    EXPECT_TRUE(Is<DiskExternalCache>(ExternalCacheFactory::MakeCache(TString("IS"), 1, 2)));
}

TEST_F(Factory, NullCacheAnswersAtOnceWithoutTraces) {
    const auto cache = ExternalCacheFactory::MakeNullCache()(TString("x"), 0, 0);
    auto store = cache->TryStore(TString("k"), Bytes("v"), 0, -1);
    auto load = cache->TryLoad(TString("k"));
    auto drop = cache->TryDrop(TString("k"));
    EXPECT_EQ(store.WaitFor(std::chrono::milliseconds(0)), AsyncTask::FutureStatus::Ready);
    EXPECT_EQ(load.WaitFor(std::chrono::milliseconds(0)), AsyncTask::FutureStatus::Ready);
    EXPECT_TRUE(store.Get());
    EXPECT_EQ(load.Get(), nullptr);
    EXPECT_TRUE(drop.Get());
    bool timedOut = true;
    EXPECT_EQ(cache->TryLoad(TString("k"), 0, &timedOut), nullptr);
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(m_host.Log().Records().empty());
    EXPECT_TRUE(m_metrics->Records().empty());
}

TEST_F(Factory, DesktopDefaultStoresUnderTheNamespaceDirectory) {
    const auto cache = ExternalCacheFactory::MakeDefaultCacheForDesktop()(TString("PSC"), 1, 0);
    ASSERT_TRUE(Is<DiskExternalCache>(cache));
    ASSERT_TRUE(cache->TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.Path() / "ExternalCacheV1" / "PSC"));
    EXPECT_EQ(cache->TryGetAllKeys(), std::vector<TString>{TString("k")});
}

}  // namespace
