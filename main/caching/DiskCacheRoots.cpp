#include "caching/DiskCacheRoots.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "velcore/AppOptions.h"
#include "velcoreplatform/TLog.h"

namespace velmora::caching {

namespace {

namespace fs = std::filesystem;

// Values of ExternalCacheDiskAccess besides 0, the private default.
constexpr int kGroup = 1, kUmask = 2;

std::string Octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

// lstat of `path`; false with `why` set when it exists but cannot be read, false with `why`
// empty when it does not exist.
bool Stat(const fs::path& path, struct stat& info, std::string& why) {
    why.clear();
    if (::lstat(path.c_str(), &info) == 0) return true;
    // A path through a file is as missing as a path to nothing: creating it fails, and says so.
    if (errno != ENOENT && errno != ENOTDIR)
        why = "'" + path.string() + "' cannot be examined (" + std::strerror(errno) + ")";
    return false;
}

}  // namespace

DiskCacheRoots::DiskCacheRoots(TPath cachePath)
    : m_cachePath(std::move(cachePath)),
      m_access(appoptions::ExternalCacheDiskAccess()),
      m_directoryMode(m_access == kGroup   ? 0770u
                      : m_access == kUmask ? 0777u
                                           : 0700u),
      m_fileMode(m_access == kGroup   ? 0660u
                 : m_access == kUmask ? 0666u
                                      : 0600u) {}

bool DiskCacheRoots::CheckOnce() {
    std::call_once(m_once, [this] {
        const std::string wrong = Check();
        m_trusted = wrong.empty();
        if (!m_trusted) {
            TLog::LogMessage(
                TLog::Error,
                TFormatString("DiskExternalCache: not using the cache directory '%1': %2. Every "
                              "load is a miss and every store is skipped until that is mended "
                              "(or the option ExternalCacheDiskAccess is set to 2, which "
                              "trusts the directory as it is).",
                              m_cachePath.ToString(), wrong));
        }
        m_checked.store(true, std::memory_order_release);
    });
    return m_trusted;
}

std::string DiskCacheRoots::Check() const {
    if (m_access == kUmask) return "";
    const fs::path ns = m_cachePath.Native();
    const fs::path configured = ns.parent_path().parent_path();
    const uid_t user = ::geteuid();
    const gid_t group = ::getegid();
    std::string why;
    std::vector<fs::path> loose;  // ours, but open to more than the cache's mode
    for (const fs::path& own : {ns, ns.parent_path()}) {
        struct stat info {};
        if (!Stat(own, info, why)) {
            if (!why.empty()) return why;
            continue;
        }
        const std::string name = "'" + own.string() + "'";
        if (S_ISLNK(info.st_mode))
            return name + " is a symbolic link (name the real directory instead)";
        // Something else in its place makes every store fail (and say so) as it is.
        if (!S_ISDIR(info.st_mode)) continue;
        // A shared directory (sticky, as /tmp is) holding the cache's own is nobody's to tighten:
        // a cache path named directly under it ("/tmp/cache") must not close it to every other
        // user, even for a process running as its owner.
        if (own != ns && (info.st_mode & S_ISVTX)) continue;
        const bool mine = info.st_uid == user;
        if (!mine && !(m_access == kGroup && info.st_gid == group))
            return name + " belongs to user " + std::to_string(info.st_uid) + ", not to user " +
                   std::to_string(user) +
                   " that this process runs as (remove it, or change its owner)";
        if ((info.st_mode & 07777 & ~m_directoryMode) != 0) {
            if (!mine)
                return name + " is open to others (mode " + Octal(info.st_mode) +
                       "; its owner can restrict it to " + Octal(m_directoryMode) + ")";
            loose.push_back(own);
        }
    }
    struct stat info {};
    if (Stat(configured, info, why)) {
        const std::string name = "'" + configured.string() + "'";
        if (S_ISLNK(info.st_mode))
            return name + " is a symbolic link (name the real directory instead)";
        if (info.st_uid != user && info.st_uid != 0)
            return name + " belongs to user " + std::to_string(info.st_uid) +
                   ", neither to this process's user nor to root (choose a directory of this "
                   "user's)";
        if ((info.st_mode & S_IWOTH) && !(info.st_mode & S_ISVTX))
            return name + " is writable by every user without the sticky bit (mode " +
                   Octal(info.st_mode) + "; remove write access for others)";
    } else if (!why.empty()) {
        return why;
    }
    // Every root passed: the cache's own directories are tightened to its mode.
    for (const fs::path& own : loose)
        if (::chmod(own.c_str(), static_cast<mode_t>(m_directoryMode)) != 0)
            return "'" + own.string() + "' cannot be restricted to mode " + Octal(m_directoryMode) +
                   " (" + std::strerror(errno) + ")";
    return "";
}

}  // namespace velmora::caching
