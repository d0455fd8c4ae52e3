// Who may use a disk cache, and whether its directories can be trusted. Private to the library.
//
// A disk cache is private to the process's user by default: the directories it creates get mode
// 0700 and its files 0600, whatever the umask; the option ExternalCacheDiskAccess widens that to
// the user's group (0770/0660) or leaves modes to the umask without any check (the old way).
// Before its first use, a cache checks its roots: the namespace directory and "ExternalCacheV1"
// (the two levels above an entry) and the configured directory above them. None may be a
// symbolic link; the two the cache owns must belong to the effective user (in group mode, or to
// its group) and are tightened to the cache's mode when they are looser; the configured
// directory must belong to the effective user or to root, and may be writable by others only
// with the sticky bit. A root that fails is not touched: the cache answers every load with a
// miss and skips every store and drop, and one Error line says what is wrong and how to fix it.
// A missing root passes (the first store creates it with the cache's mode).
// Thread contract: safe for concurrent use (the check runs once, on the first caller).
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "velcoreplatform/TPath.h"

namespace velmora::caching {

class DiskCacheRoots {
public:
    // `cachePath`: the namespace directory of the cache. Reads nothing yet.
    explicit DiskCacheRoots(TPath cachePath);

    // Whether the cache may use its directories; checks (and tightens) them on the first call.
    bool Trusted() {
        if (m_checked.load(std::memory_order_acquire)) return m_trusted;
        return CheckOnce();
    }
    // Permission bits of the directories and files the cache creates.
    unsigned DirectoryMode() const { return m_directoryMode; }
    unsigned FileMode() const { return m_fileMode; }

private:
    bool CheckOnce();
    // What is wrong with the roots; "" when they can be trusted.
    std::string Check() const;

    const TPath m_cachePath;  // Constant after construction.
    const int m_access;       // ExternalCacheDiskAccess when made
    const unsigned m_directoryMode, m_fileMode;
    std::once_flag m_once;
    std::atomic<bool> m_checked{false};
    bool m_trusted = false;  // written once, before m_checked
};

}  // namespace velmora::caching
