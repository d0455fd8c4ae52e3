#include "caching/DiskExternalCache.h"

#include "caching/DiskCacheRoots.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <random>
#include <string>

#include "metrics2/Metrics.h"
#include "velcore/AppConfig.h"
#include "velcore/FileUtil.h"
#include "velcoredata/DateTime.h"
#include "velcoreplatform/TDirectory.h"
#include "velcoreplatform/TFile.h"
#include "velcoreplatform/TLog.h"

namespace velmora::caching {

namespace {

constexpr std::uint64_t kBackendScopeBits = 0x20001;

// Made once: a scope name built per call would cost a text conversion each time.
// Never freed: stores still under way may run while the process ends.
const TString& kStoreScope = *new TString("DiskExternalCache::TryStore");
const TString& kLoadScope = *new TString("DiskExternalCache::TryLoad");
const TString& kDropScope = *new TString("DiskExternalCache::TryDrop");

constexpr const char* kKeyName = ".key";
constexpr const char* kBinName = ".bin";

[[noreturn]] void ThrowUnspecified() {
    throw VelmoraException("Unspecified exception c87f2fd8-3b2f-4a84-a7bc-a4deb21dd472",
                           VelmoraError::MakeError(0x543EA456, "DiskExternalCache"));
}

void EnsureDirectory(const TPath& path, unsigned mode) {
    if (!DirectoryExists(path) && !CreateDirectory(path, mode)) {
        TLog::LogMessage(
            TLog::Warn, TFormatString(TString("Failed to create directory '%1'"), path.ToString()));
        ThrowUnspecified();
    }
}

// Names in a namespace directory: entries are named by their key hash (decimal digits only);
// the temporary files and directories of writers begin with one of these prefixes, so no load,
// listing or entry ever takes them for an entry, and the sweeper deletes those a crashed writer
// left behind.
constexpr const char* kTempFilePrefix = ".tmp-";   // a value on its way, inside an entry
constexpr const char* kNewEntryPrefix = ".new-";   // an entry being built, beside the entries
constexpr const char* kOldEntryPrefix = ".old-";   // an entry being deleted
constexpr std::chrono::seconds kLeftoverAge{600};  // far longer than any store takes

bool IsEntryName(const std::string& name) {
    return !name.empty() &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsLeftoverName(const std::string& name) {
    for (const char* prefix : {kTempFilePrefix, kNewEntryPrefix, kOldEntryPrefix})
        if (name.rfind(prefix, 0) == 0) return true;
    return false;
}

const FolderSweepLayout& SweepLayout() {
    static const FolderSweepLayout layout{&IsEntryName, &IsLeftoverName, kLeftoverAge};
    return layout;
}

// A name no other writer, in this process or another, uses at the same time. The process's
// part is kept in a plain array, which nothing destroys: a store handed to the pool may still be
// running while the process exits and destroys its statics.
std::string UniqueName(const char* prefix) {
    static const std::array<char, 48> process = [] {
        std::array<char, 48> text{};
        std::random_device random;
        std::snprintf(text.data(), text.size(), "%d-%u", int(::getpid()), unsigned(random()));
        return text;
    }();
    static std::atomic<unsigned long long> s_counter{0};
    return prefix + std::string(process.data()) + "-" + std::to_string(++s_counter);
}

// Removes an entry directory at once (renamed out of the way first, so that no reader finds it
// half deleted), then deletes it. False when there was none.
bool RetireEntry(const TPath& cachePath, const TPath& entry) {
    const TPath retired = cachePath / TString::fromStdString(UniqueName(kOldEntryPrefix));
    if (!RenamePath(entry, retired)) return false;
    RemovePathRecursively(retired);
    return true;
}

// Writes `value` to a temporary file in `entry` and renames it over ".bin". False, leaving no
// file behind, when the write or the rename failed: the directory was retired meanwhile by a
// racing store or drop, or the disk is full (which a fresh entry then meets as well).
bool ReplaceValue(const TOpenDirectory& entry, const std::vector<unsigned char>& value,
                  unsigned mode) {
    const std::string temp = UniqueName(kTempFilePrefix);
    try {
        entry.WriteFile(temp.c_str(), value.data(), value.size(), mode);
    } catch (...) {
        return false;  // WriteFile removed what it had written
    }
    if (entry.Rename(temp.c_str(), kBinName)) return true;
    entry.RemoveFile(temp.c_str());
    return false;
}

// Whether `entry` is the entry of `keyText`. A ".key" that cannot be read (a directory or a
// symbolic link in its place, a damaged file) makes no entry of any key: the store replaces the
// directory like any other, instead of failing on it for good.
bool HoldsKey(const TOpenDirectory& entry, const std::string& keyText) {
    if (!entry.IsOpen()) return false;
    std::string storedKey;
    try {
        return entry.ReadFile(kKeyName, storedKey) && storedKey == keyText;
    } catch (...) {
        return false;
    }
}

// The native path of the entry named `keyHash`, in this thread's buffer. Key hashes are ASCII
// digits, copied unit by unit; any other text is converted.
const std::string& EntryPath(const std::string& cachePath, const TString& keyHash) {
    thread_local std::string path;
    path.assign(cachePath).push_back('/');
    const char16_t* hash = keyHash.constData();
    const char16_t* end = hash + keyHash.length();
    if (std::all_of(hash, end, [](char16_t c) { return c < 0x80; })) {
        for (const char16_t* c = hash; c != end; ++c) path.push_back(char(*c));
    } else {
        path += keyHash.toStdString();
    }
    return path;
}

// A store never changes what a reader of an entry sees part-way: the entry directory's ".key"
// is written once, when the directory is built, so a directory holds one key for its whole
// life; a new value for that key is written to a temporary file in the directory and renamed
// over ".bin" in one step. Anything else (a first store, another key with the same hash, a
// half-written entry) builds a complete new directory beside the entries and moves it into
// place. A reader that opened the directory therefore sees the complete old value, the
// complete new one, or no entry; and a store that fails (a full disk) leaves no partial entry.
//
// `nativeCachePath` is the native text of `cachePath`, through which the common case (a new value
// for a key whose entry is there) runs without building a path object.
void Store(const TPath& cachePath, const std::string& nativeCachePath,
           const std::shared_ptr<FolderSweeper>& sweeper, DiskCacheRoots& roots, const TString& key,
           const TString& keyHash, const ExternalBytesPtr& value) {
    Metrics::Scope scope(kStoreScope, kBackendScopeBits);
    if (!roots.Trusted()) return;  // said once, at the check
    const unsigned directoryMode = roots.DirectoryMode(), fileMode = roots.FileMode();
    try {
        if (sweeper) sweeper->Sweep(cachePath, value->size(), SweepLayout());
        const std::string keyText = key.toStdString();
        {
            TOpenDirectory current(EntryPath(nativeCachePath, keyHash).c_str());
            if (HoldsKey(current, keyText) && ReplaceValue(current, *value, fileMode)) return;
            // Not there, another key's, unreadable, or retired under this store by a racing
            // store or drop: a fresh entry replaces whatever is there.
        }
        const TPath entry = cachePath / keyHash;
        EnsureDirectory(cachePath, directoryMode);
        const TPath built = cachePath / TString::fromStdString(UniqueName(kNewEntryPrefix));
        EnsureDirectory(built, directoryMode);
        try {
            TOpenDirectory fresh(built);
            if (!fresh.IsOpen()) ThrowUnspecified();
            fresh.WriteFile(kBinName, value->data(), value->size(), fileMode);
            fresh.WriteFile(kKeyName, keyText.data(), keyText.size(), fileMode);
            RetireEntry(cachePath, entry);
            // Fails only when a racing store put its own entry in place first; that one stays.
            if (!RenamePath(built, entry)) RemovePathRecursively(built);
        } catch (...) {
            RemovePathRecursively(built);
            throw;
        }
    } catch (...) {
        TLog::LogCurrentException(
            TLog::Warn,
            TFormatString(TString("Exception in DiskExternalCache::TryStore, cachePath:'%1', "
                                  "keyHash:'%2'."),
                          cachePath.ToString(), keyHash));
    }
}

// The key and the value are read through one open directory, which holds one key for its whole
// life (see Store): a hit is always a complete value stored under this very key. `cachePath` is
// the native text of the cache path: a TPath copied and extended on every load costs more than
// the rest of the call outside the file system.
ExternalBytesPtr Load(const std::string& cachePath, DiskCacheRoots& roots, const TString& key,
                      const TString& keyHash) {
    Metrics::Scope scope(kLoadScope, kBackendScopeBits);
    if (!roots.Trusted()) return nullptr;  // said once, at the check
    try {
        TOpenDirectory entry(EntryPath(cachePath, keyHash).c_str());
        if (!entry.IsOpen()) return nullptr;
        // This thread's buffer: a load allocates only the value it returns.
        thread_local std::string storedKey;
        if (!entry.ReadFile(kKeyName, storedKey) || storedKey != key.toStdString()) return nullptr;
        auto value = std::make_shared<ExternalBytes>();
        // Refreshing the write time makes the sweeper delete least recently used entries first.
        if (!entry.ReadFile(kBinName, *value, TOpenDirectory::LastWrite::Refresh)) return nullptr;
        return value;
    } catch (...) {
        TLog::LogCurrentException(
            TLog::Warn,
            TFormatString(TString("DiskExternalCache::TryLoad failed to read a cache entry from "
                                  "disk, cachePath:'%1', keyHash:'%2'."),
                          TString::fromStdString(cachePath), keyHash));
        return nullptr;
    }
}

void Drop(const TPath& cachePath, DiskCacheRoots& roots, const TString& keyHash) {
    Metrics::Scope scope(kDropScope, kBackendScopeBits);
    if (!roots.Trusted()) return;  // said once, at the check
    try {
        RetireEntry(cachePath, cachePath / keyHash);
    } catch (...) {
        TLog::LogCurrentException(
            TLog::Warn, TFormatString(TString("DiskExternalCache::TryDrop failed, cachePath:'%1', "
                                              "keyHash:'%2'."),
                                      cachePath.ToString(), keyHash));
    }
}

}  // namespace

TString DiskExternalCache::NamespaceDirectoryName(const TString& ns) {
    const std::string text = ns.toStdString();
    if (text.empty()) return TString("%");
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == ' ' ||
                           (c == '.' && i > 0) || c >= 0x80;
        if (plain) {
            name.push_back(char(c));
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            name += escaped;
        }
    }
    return TString::fromStdString(name);
}

DiskExternalCache::DiskExternalCache(TString ns, std::shared_ptr<FolderSweeper> sweeper)
    : DiskExternalCache(ns,
                        TPath(AppConfig::GetInstance().GetExternalCacheDir())
                            .Append(TString("ExternalCacheV1"))
                            .Append(NamespaceDirectoryName(ns)),
                        std::move(sweeper)) {}

DiskExternalCache::DiskExternalCache(TString ns, TPath cachePath,
                                     std::shared_ptr<FolderSweeper> sweeper)
    : ExternalCache(std::move(ns)),
      m_cachePath(std::move(cachePath)),
      m_nativeCachePath(std::make_shared<const std::string>(m_cachePath.Native().native())),
      m_folderSweeper(std::move(sweeper)),
      m_roots(std::make_shared<DiskCacheRoots>(m_cachePath)) {}

DiskExternalCache::~DiskExternalCache() = default;

std::vector<TString> DiskExternalCache::TryGetAllKeys() const {
    std::vector<TString> keys;
    if (!m_roots->Trusted() || !DirectoryExists(m_cachePath)) return keys;
    for (const TPath& path : TDirectory(m_cachePath)) {
        try {
            if (!IsEntryName(path.Native().filename().string())) continue;
            TOpenDirectory entry(path);
            std::string key;
            if (entry.IsOpen() && entry.HasFile(kBinName) && entry.ReadFile(kKeyName, key))
                keys.push_back(TString::fromStdString(key));
        } catch (...) {
            TLog::LogCurrentException(TLog::Info,
                                      TString("DiskExternalCache::TryGetAllKeys failed"));
        }
    }
    return keys;
}

DiskExternalCache::StoreFunc DiskExternalCache::GetStoreFunc() const {
    return [cachePath = m_cachePath, nativeCachePath = m_nativeCachePath, sweeper = m_folderSweeper,
            roots = m_roots](TString key, TString keyHash, ExternalBytesPtr value,
                             long long /*ttlSec*/) {
        Store(cachePath, *nativeCachePath, sweeper, *roots, key, keyHash, value);
    };
}

DiskExternalCache::LoadFunc DiskExternalCache::GetLoadFunc() const {
    return [cachePath = m_nativeCachePath, roots = m_roots](TString key, TString keyHash) {
        return Load(*cachePath, *roots, key, keyHash);
    };
}

DiskExternalCache::DropFunc DiskExternalCache::GetDropFunc() const {
    return [cachePath = m_cachePath, roots = m_roots](TString /*key*/, TString keyHash) {
        Drop(cachePath, *roots, keyHash);
    };
}

}  // namespace velmora::caching
