// DiskExternalCache: the external cache of one machine, one directory per namespace.
//
// Each entry is a subdirectory named after the key hash text, holding ".key" (the key's text,
// nothing else) and ".bin" (the value's bytes, no header). An entry counts only when both files
// exist and ".key" holds the requested key, so two keys sharing a hash share one directory and
// the last store wins. The time-to-live is not recorded: entries live until overwritten,
// dropped, or deleted by the FolderSweeper asked to make room before every write (loads refresh
// ".bin"'s last-write time, which the sweeper orders by). Backend failures are logged at Warn
// and swallowed: a failed store counts as done, a failed load as a miss. There is no lock and no
// atomic replacement: racing stores of one key hash leave either one's entry.
// Thread contract: safe for concurrent use.
#pragma once

#include <memory>
#include <vector>

#include "VelcacheExport.h"
#include "caching/ExternalCache.h"
#include "velcore/FolderSweeper.h"
#include "velcoreplatform/TPath.h"

namespace velmora::caching {

class VELCACHE_EXPORT DiskExternalCache : public ExternalCache<TString, ExternalBytes> {
public:
    // The namespace directory is AppConfig's external cache directory / "ExternalCacheV1" / ns.
    // `sweeper` may be null (no bound on disk use). Nothing is created on disk until a store.
    DiskExternalCache(TString ns, std::shared_ptr<FolderSweeper> sweeper);
    DiskExternalCache(TString ns, TPath cachePath, std::shared_ptr<FolderSweeper> sweeper);
    DiskExternalCache(const DiskExternalCache&) = default;
    ~DiskExternalCache() override;

    // The keys of every complete entry, in directory-listing order, duplicates kept. Runs on
    // the calling thread without the guarded procedure; an entry that fails to read is logged
    // at Info and skipped. Empty (and nothing created) when the directory does not exist.
    std::vector<TString> TryGetAllKeys() const override;

    const TPath& GetCachePath() const { return m_cachePath; }

protected:
    StoreFunc GetStoreFunc() const override;
    LoadFunc GetLoadFunc() const override;
    DropFunc GetDropFunc() const override;

private:
    // Constant after construction.
    TPath m_cachePath;
    std::shared_ptr<FolderSweeper> m_folderSweeper;
};

}  // namespace velmora::caching
