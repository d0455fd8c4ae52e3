#include "caching/DiskExternalCache.h"

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
constexpr int kOpenWriteTruncate = TFile::OpenWrite | TFile::OpenTruncate;  // 10

const TString kKeyFile(".key");
const TString kBinFile(".bin");

[[noreturn]] void ThrowUnspecified() {
    throw VelmoraException("Unspecified exception c87f2fd8-3b2f-4a84-a7bc-a4deb21dd472",
                           VelmoraError::MakeError(0x543EA456, "DiskExternalCache"));
}

void EnsureDirectory(const TPath& path) {
    if (!DirectoryExists(path) && !CreateDirectory(path)) {
        TLog::LogMessage(
            TLog::Warn, TFormatString(TString("Failed to create directory '%1'"), path.ToString()));
        ThrowUnspecified();
    }
}

void Store(const TPath& cachePath, const std::shared_ptr<FolderSweeper>& sweeper,
           const TString& key, const TString& keyHash, const ExternalBytesPtr& value) {
    Metrics::Scope scope(TString("DiskExternalCache::TryStore"), kBackendScopeBits);
    try {
        if (sweeper) sweeper->Sweep(cachePath, value->size());
        const TPath entry = cachePath / keyHash;
        const TPath keyPath = entry / kKeyFile;
        const TPath binPath = entry / kBinFile;
        EnsureDirectory(cachePath);
        EnsureDirectory(entry);
        if (FileExists(keyPath) || FileExists(binPath)) {
            RemovePath(binPath);
            RemovePath(keyPath);
            // Somebody holds the old entry: give up quietly rather than mix two entries.
            if (FileExists(keyPath) || FileExists(binPath)) return;
        }
        // The key file is created (empty) first and receives the key text last, so an entry
        // whose writing stopped part-way reads as absent for every non-empty key.
        TFile keyFile(keyPath, kOpenWriteTruncate);
        TFile::WriteUnsignedBinaryFile(binPath, *value);
        const std::string keyText = key.toStdString();
        if (keyFile.Write(keyText.data(), keyText.size()) != keyText.size()) ThrowUnspecified();
        keyFile.Flush();
        keyFile.Close();
    } catch (...) {
        TLog::LogCurrentException(
            TLog::Warn,
            TFormatString(TString("Exception in DiskExternalCache::TryStore, cachePath:'%1', "
                                  "keyHash:'%2'."),
                          cachePath.ToString(), keyHash));
    }
}

ExternalBytesPtr Load(const TPath& cachePath, const TString& key, const TString& keyHash) {
    Metrics::Scope scope(TString("DiskExternalCache::TryLoad"), kBackendScopeBits);
    try {
        const TPath entry = cachePath / keyHash;
        const TPath keyPath = entry / kKeyFile;
        const TPath binPath = entry / kBinFile;
        if (!FileExists(keyPath) || !FileExists(binPath)) return nullptr;
        if (!(TFile::LoadTextFile(keyPath, true) == key)) return nullptr;
        // Refreshing the write time makes the sweeper delete least recently used entries first.
        LastWriteTime(binPath, DateTime::GetLocalTime());
        return std::make_shared<ExternalBytes>(TFile::LoadUnsignedBinaryFile(binPath));
    } catch (...) {
        TLog::LogCurrentException(
            TLog::Warn,
            TFormatString(TString("DiskExternalCache::TryLoad failed to read a cache entry from "
                                  "disk, cachePath:'%1', keyHash:'%2'."),
                          cachePath.ToString(), keyHash));
        return nullptr;
    }
}

void Drop(const TPath& cachePath, const TString& keyHash) {
    Metrics::Scope scope(TString("DiskExternalCache::TryDrop"), kBackendScopeBits);
    try {
        RemovePathRecursively(cachePath / keyHash);
    } catch (...) {
        TLog::LogCurrentException(
            TLog::Warn, TFormatString(TString("DiskExternalCache::TryDrop failed, cachePath:'%1', "
                                              "keyHash:'%2'."),
                                      cachePath.ToString(), keyHash));
    }
}

}  // namespace

DiskExternalCache::DiskExternalCache(TString ns, std::shared_ptr<FolderSweeper> sweeper)
    : DiskExternalCache(ns,
                        TPath(AppConfig::GetInstance().GetExternalCacheDir())
                            .Append(TString("ExternalCacheV1"))
                            .Append(ns),
                        std::move(sweeper)) {}

DiskExternalCache::DiskExternalCache(TString ns, TPath cachePath,
                                     std::shared_ptr<FolderSweeper> sweeper)
    : ExternalCache(std::move(ns)),
      m_cachePath(std::move(cachePath)),
      m_folderSweeper(std::move(sweeper)) {}

DiskExternalCache::~DiskExternalCache() = default;

std::vector<TString> DiskExternalCache::TryGetAllKeys() const {
    std::vector<TString> keys;
    if (!DirectoryExists(m_cachePath)) return keys;
    for (const TPath& entry : TDirectory(m_cachePath)) {
        try {
            const TPath keyPath = entry / kKeyFile;
            if (FileExists(keyPath) && FileExists(entry / kBinFile))
                keys.push_back(TFile::LoadTextFile(keyPath, true));
        } catch (...) {
            TLog::LogCurrentException(TLog::Info,
                                      TString("DiskExternalCache::TryGetAllKeys failed"));
        }
    }
    return keys;
}

DiskExternalCache::StoreFunc DiskExternalCache::GetStoreFunc() const {
    return [cachePath = m_cachePath, sweeper = m_folderSweeper](
               TString key, TString keyHash, ExternalBytesPtr value, long long /*ttlSec*/) {
        Store(cachePath, sweeper, key, keyHash, value);
    };
}

DiskExternalCache::LoadFunc DiskExternalCache::GetLoadFunc() const {
    return [cachePath = m_cachePath](TString key, TString keyHash) {
        return Load(cachePath, key, keyHash);
    };
}

DiskExternalCache::DropFunc DiskExternalCache::GetDropFunc() const {
    return
        [cachePath = m_cachePath](TString /*key*/, TString keyHash) { Drop(cachePath, keyHash); };
}

}  // namespace velmora::caching
