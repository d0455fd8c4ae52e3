// DiskExternalCache: the external cache of one machine, one directory per namespace.
//
// Each entry is a subdirectory named after the key hash text, holding ".key" (the key's text,
// nothing else) and ".bin" (the value's bytes, no header). An entry counts only when both files
// exist and ".key" holds the requested key, so two keys sharing a hash share one directory and
// the last store wins. The time-to-live is not recorded: entries live until overwritten,
// dropped, or deleted by the FolderSweeper asked to make room before every write (loads refresh
// ".bin"'s last-write time, which the sweeper orders by). Backend failures are logged at Warn
// and swallowed: a failed store counts as done, a failed load as a miss. Stores replace an
// entry in one step (a temporary file renamed over ".bin", or a complete directory moved into
// place), so a load, in this process or another, sees the complete old value, the complete new
// one, or a miss, never a mix; a store that fails or is killed part-way leaves no partial
// entry, only temporary files and directories (names beginning with '.') that loads and
// listings skip and the sweeper deletes once they are old. Racing stores of one key hash leave
// either one's entry. Without a lock of its own.
// Private by default: directories 0700 and files 0600 whatever the umask, and before its first
// use the cache checks its directories (not symbolic links, owned by the process's user, not
// open to others) and, when they fail, uses none of them: loads miss, stores and drops are
// skipped, one Error line says why. The option ExternalCacheDiskAccess shares the cache with the
// user's group (0770/0660) or leaves modes to the umask without checks.
// Thread contract: safe for concurrent use.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "VelcacheExport.h"
#include "caching/ExternalCache.h"
#include "velcore/FolderSweeper.h"
#include "velcoreplatform/TPath.h"

namespace velmora::caching {

class DiskCacheRoots;

/// The external cache on this machine's disk: one directory an entry, replaced in one rename (see
/// the file's opening comment).
class VELCACHE_EXPORT DiskExternalCache : public ExternalCache<TString, ExternalBytes> {
public:
    /// The namespace directory is AppConfig's external cache directory / "ExternalCacheV1" /
    /// NamespaceDirectoryName(ns). `sweeper` may be null (no bound on disk use). Nothing is
    /// created on disk until a store.
    DiskExternalCache(TString ns, std::shared_ptr<FolderSweeper> sweeper);
    /// The same under `cachePath` instead of AppConfig's directory.
    DiskExternalCache(TString ns, TPath cachePath, std::shared_ptr<FolderSweeper> sweeper);
    /// Shares the directory and the sweeper.
    DiskExternalCache(const DiskExternalCache&) = default;
    ~DiskExternalCache() override;

    /// The keys of every complete entry, in directory-listing order, duplicates kept. Runs on
    /// the calling thread without the guarded procedure; an entry that fails to read is logged
    /// at Info and skipped. Empty (and nothing created) when the directory does not exist.
    std::vector<TString> TryGetAllKeys() const override;

    /// The directory the cache's namespace directory is under.
    const TPath& GetCachePath() const { return m_cachePath; }

    /// The one path component that holds namespace `ns`, whatever its text: letters, digits,
    /// '-', '_', ' ', non-ASCII text and '.' (except in first place) stay as they are; every
    /// other byte of the narrow text is written %XX, and the empty namespace is "%". So
    /// "MapTiles" stays "MapTiles", while "../x" becomes "%2E.%2Fx": no namespace reaches
    /// outside "ExternalCacheV1", and distinct namespaces get distinct directories.
    static TString NamespaceDirectoryName(const TString& ns);

protected:
    StoreFunc GetStoreFunc() const override;
    LoadFunc GetLoadFunc() const override;
    DropFunc GetDropFunc() const override;

private:
    /// Constant after construction.
    TPath m_cachePath;
    /// The native text of m_cachePath, shared by the load functions (a load builds its entry
    /// path from it without copying the text per call).
    std::shared_ptr<const std::string> m_nativeCachePath;
    std::shared_ptr<FolderSweeper> m_folderSweeper;
    /// Who may use the directories and whether they can be trusted (checked on first use),
    /// shared by copies and by the backend functions.
    std::shared_ptr<DiskCacheRoots> m_roots;
};

}  // namespace velmora::caching
