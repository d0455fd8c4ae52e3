// A small host of velcache: a lock-protected indexed cache in memory and a disk external cache
// made by the factory, each storing and loading one value. Prints what it does; exits 0 when
// both gave back what they were given.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "caching/ExternalCacheFactory.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velcore/AppConfig.h"

namespace {

// The payload the host caches: one computed text.
class Result : public VelCacheData {
public:
    explicit Result(std::string text) : m_text(std::move(text)) {}
    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
};

bool InMemory() {
    // At most 100 entries, most recently used kept; the cache makes its own lock.
    SynchronizedIndexedCache cache(std::make_shared<CacheHelpers::MRUPolicy>(100),
                                   CacheHelpers::CreateBasicClock());
    const unsigned int id = cache.AddEntry(CacheHelpers::Payload(new Result("42 rows")));
    const CacheHelpers::Payload found = cache.TryGetEntry(id);
    const auto* result = dynamic_cast<const Result*>(found.Get());
    std::printf("in-memory: stored \"42 rows\" as entry %u, loaded \"%s\"\n", id,
                result ? result->Text().c_str() : "(nothing)");
    return result && result->Text() == "42 rows";
}

bool OnDisk(const std::filesystem::path& dir) {
    // The host's start-up: where external caches live, that they are on, which factory.
    AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(dir.string()));
    AppConfig::GetInstance().SetExternalCacheEnabled(true);
    using velmora::caching::ExternalCacheFactory;
    ExternalCacheFactory::Initialize(ExternalCacheFactory::MakeDefaultCacheForDesktop());

    // "MapTiles" always gets the desktop default: a disk cache with a 16 MiB budget.
    const velmora::caching::ExternalCachePtr cache =
        ExternalCacheFactory::MakeCache(ExternalCacheFactory::MapTilesCacheNamespace, 16, 0);
    const std::string text = "tile 7/63/42";
    auto value = std::make_shared<velmora::caching::ExternalBytes>(text.begin(), text.end());
    const bool stored = cache->TryStore(TString("7/63/42"), value, 100, -1).Get();
    const velmora::caching::ExternalBytesPtr loaded = cache->TryLoad(TString("7/63/42")).Get();
    const std::string back = loaded ? std::string(loaded->begin(), loaded->end()) : "(nothing)";
    std::printf(
        "external: stored \"%s\" under \"7/63/42\" in %s/ExternalCacheV1/MapTiles (%s), "
        "loaded \"%s\"\n",
        text.c_str(), dir.c_str(), stored ? "done" : "refused", back.c_str());
    ExternalCacheFactory::UnInitialize();
    return stored && back == text;
}

}  // namespace

int main() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("velcache-consumer-" + std::to_string(::getpid()));
    const bool ok = InMemory() && OnDisk(dir);
    std::filesystem::remove_all(dir);
    std::printf("%s\n", ok ? "ok" : "FAILED");
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
