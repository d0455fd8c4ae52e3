#include "caching/ExternalCacheFactory.h"

#include <chrono>

#include "caching/DiskExternalCache.h"
#include "velsys/InitOnce.h"

namespace velmora::caching {

template class NullExternalCache<TString, ExternalBytes>;

const TString ExternalCacheFactory::MapTilesCacheNamespace("MapTiles");
const TString ExternalCacheFactory::WorkbookAttributesCacheNamespace("WAV2");
const TString ExternalCacheFactory::PortableSessionCheckpointNamespace("PSC");
const TString ExternalCacheFactory::ImageStoreCacheNamespace("IS");

bool ExternalCacheFactory::s_allowFactoryOverridePerNamespace = true;

namespace {

constexpr std::chrono::nanoseconds kSweepRescanInterval{300000000000LL};

ExternalCachePtr MakeDesktopCache(TString ns, unsigned long long sizeMb, unsigned int n) {
    if (!ExternalCacheEnabled())
        return std::make_shared<NullExternalCache<TString, ExternalBytes>>();
    auto sweeper = std::make_shared<FolderSweeper>(std::uint64_t(sizeMb) << 20,
                                                   FolderSweepOrder::LeastRecentlyWrittenFirst, n,
                                                   kSweepRescanInterval);
    return std::make_shared<DiskExternalCache>(std::move(ns), std::move(sweeper));
}

ExternalCachePtr MakeNull(TString, unsigned long long, unsigned int) {
    return std::make_shared<NullExternalCache<TString, ExternalBytes>>();
}

}  // namespace

ExternalCacheFactory::ExternalCacheFactory() : cacheFactoryFunc(MakeNullCache()) {}
ExternalCacheFactory::ExternalCacheFactory(const ExternalCacheFactory&) = default;
ExternalCacheFactory::ExternalCacheFactory(ExternalCacheFactory&&) noexcept = default;
ExternalCacheFactory& ExternalCacheFactory::operator=(const ExternalCacheFactory&) = default;
ExternalCacheFactory& ExternalCacheFactory::operator=(ExternalCacheFactory&&) noexcept = default;
ExternalCacheFactory::~ExternalCacheFactory() = default;

ExternalCacheFactory& ExternalCacheFactory::Instance() {
    // Static storage: the singleton (and the functions it holds) goes at library unload.
    static InitOnce s_once;
    return *s_once.GetShared<ExternalCacheFactory>([] { return new ExternalCacheFactory(); });
}

void ExternalCacheFactory::Initialize(FactoryFuncEx f) {
    ExternalCacheFactory& factory = Instance();
    factory.cacheFactoryFunc = nullptr;
    factory.cacheFactoryFuncEx = std::move(f);
}

void ExternalCacheFactory::Initialize(FactoryFunc f) {
    ExternalCacheFactory& factory = Instance();
    factory.cacheFactoryFunc = std::move(f);
    factory.cacheFactoryFuncEx = nullptr;
}

void ExternalCacheFactory::UnInitialize() {
    ExternalCacheFactory& factory = Instance();
    const FactoryFunc& cacheFactoryFunc = factory.cacheFactoryFunc;
    const FactoryFuncEx& cacheFactoryFuncEx = factory.cacheFactoryFuncEx;
    VEL_ASSERT(cacheFactoryFunc || cacheFactoryFuncEx);
    factory.cacheFactoryFunc = MakeNullCache();
    factory.cacheFactoryFuncEx = nullptr;
}

ExternalCachePtr ExternalCacheFactory::MakeCache(TString ns, unsigned long long sizeMb,
                                                 unsigned int n) {
    return MakeCache(std::move(ns), sizeMb, n, StringOptionTable());
}

ExternalCachePtr ExternalCacheFactory::MakeCache(TString ns, unsigned long long sizeMb,
                                                 unsigned int n, const StringOptionTable& options) {
    ExternalCacheFactory& factory = Instance();
    if (s_allowFactoryOverridePerNamespace &&
        (ns == MapTilesCacheNamespace || ns == WorkbookAttributesCacheNamespace ||
         ns == ImageStoreCacheNamespace)) {
        return MakeDesktopCache(std::move(ns), sizeMb, n);
    }
    const FactoryFunc& cacheFactoryFunc = factory.cacheFactoryFunc;
    const FactoryFuncEx& cacheFactoryFuncEx = factory.cacheFactoryFuncEx;
    if (cacheFactoryFunc) return cacheFactoryFunc(std::move(ns), sizeMb, n);
    if (cacheFactoryFuncEx) return cacheFactoryFuncEx(std::move(ns), options);
    VEL_ASSERT(cacheFactoryFunc || cacheFactoryFuncEx);
    return nullptr;
}

ExternalCacheFactory::FactoryFunc ExternalCacheFactory::MakeDefaultCacheForDesktop() {
    return &MakeDesktopCache;
}

ExternalCacheFactory::FactoryFunc ExternalCacheFactory::MakeNullCache() {
    return &MakeNull;
}

void ExternalCacheFactory::AllowFactoryOverridePerNamespace(bool allow) {
    s_allowFactoryOverridePerNamespace = allow;
}

bool ExternalCacheFactory::AllowFactoryOverridePerNamespace() {
    return s_allowFactoryOverridePerNamespace;
}

}  // namespace velmora::caching
