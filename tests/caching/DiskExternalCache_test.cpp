#include "caching/DiskExternalCache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "ExternalCacheTestSupport.h"
#include "velcore/FileUtil.h"
#include "velsys/Hash.h"

using namespace velmora::caching;
using namespace veltest;
namespace fs = std::filesystem;

namespace {

class DiskCache : public ExternalCacheTest {
protected:
    fs::path EntryDir(const char* key) const {
        return m_dir.Path() / "ExternalCacheV1" / "ns" /
               ExternalCacheKeyHash(TString(key)).toStdString();
    }
    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void Write(const fs::path& path, const std::string& content) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    // Sets the last-write time of `path` and of the files named `files` in it into the past.
    static void Age(const fs::path& path, int secondsAgo, std::vector<const char*> files) {
        const DateTime when = DateTime::GetLocalTime() - DateTimeSpan::FromSeconds(secondsAgo);
        files.push_back("");
        for (const char* file : files) ASSERT_TRUE(LastWriteTime(TPath(path / file), when));
    }
    std::vector<TString> Keys(const DiskExternalCache& cache) {
        auto keys = cache.TryGetAllKeys();
        std::sort(keys.begin(), keys.end());
        return keys;
    }

    ScratchDir m_dir;
    DiskExternalCache m_cache{TString("ns"), nullptr};
};

TEST_F(DiskCache, LayoutOverwriteEmptyValueMissAndDropSeenByAnotherInstance) {
    EXPECT_TRUE(m_cache.TryGetAllKeys().empty());
    EXPECT_FALSE(fs::exists(m_dir.Path()));  // listing creates nothing
    EXPECT_EQ(m_cache.TryLoad(TString("grüße:1")).Get(), nullptr);
    EXPECT_EQ(Attr(OnlyLine("ec-load"), "outcome"), TString("miss"));
    EXPECT_EQ(m_host.Log().Records().size(), 1u);  // the miss itself logs nothing more

    ASSERT_TRUE(m_cache.TryStore(TString("grüße:1"), Bytes("first, longer"), 0, -1).Get());
    ASSERT_TRUE(m_cache.TryStore(TString("grüße:1"), Bytes(std::string("a\0b", 3)), 0, 60).Get());
    const std::u16string units = u"grüße:1";
    const fs::path entry = m_dir.Path() / "ExternalCacheV1" / "ns" /
                           std::to_string(THash32(units.data(), units.size() * 2, 0xDEADBEEF));
    EXPECT_EQ(Read(entry / ".key"), "grüße:1");
    EXPECT_EQ(Read(entry / ".bin"), std::string("a\0b", 3));
    EXPECT_EQ(std::distance(fs::directory_iterator(entry), {}), 2);
    DiskExternalCache other(TString("ns"), nullptr), elsewhere(TString("other-ns"), nullptr);
    EXPECT_EQ(Text(other.TryLoad(TString("grüße:1")).Get()), std::string("a\0b", 3));
    EXPECT_EQ(other.TryGetAllKeys(), std::vector<TString>{TString("grüße:1")});
    EXPECT_EQ(elsewhere.TryLoad(TString("grüße:1")).Get(), nullptr);

    ASSERT_TRUE(m_cache.TryStore(TString("k"), std::make_shared<ExternalBytes>(), 0, -1).Get());
    const auto empty = m_cache.TryLoad(TString("k")).Get();
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->empty());
    EXPECT_TRUE(other.TryDrop(TString("k")).Get());
    EXPECT_FALSE(fs::exists(EntryDir("k")));
    Clear();
    EXPECT_TRUE(m_cache.TryDrop(TString("never stored")).Get());
    EXPECT_EQ(Attr(OnlyLine("ec-drop"), "outcome"), TString("done"));
    EXPECT_EQ(m_metrics->Find(TString("DiskExternalCache::TryDrop")).size(), 1u);
}

TEST_F(DiskCache, ForeignKeyAndHalfWrittenEntriesReadAsAbsentUntilStoredAgain) {
    // An entry of the same hash holding another key (a collision, or a foreign writer).
    Write(EntryDir("k") / ".key", "someone else");
    Write(EntryDir("k") / ".bin", "theirs");
    EXPECT_EQ(m_cache.TryLoad(TString("k")).Get(), nullptr);
    ASSERT_TRUE(m_cache.TryStore(TString("k"), Bytes("mine"), 0, -1).Get());
    for (const char* only : {".bin", ".key"}) {
        SCOPED_TRACE(only);
        fs::remove_all(EntryDir("h"));
        Write(EntryDir("h") / only, only == std::string(".key") ? "h" : "bytes");
        EXPECT_EQ(m_cache.TryLoad(TString("h")).Get(), nullptr);
        EXPECT_EQ(m_cache.TryGetAllKeys(), std::vector<TString>{TString("k")});
        ASSERT_TRUE(m_cache.TryStore(TString("h"), Bytes("whole"), 0, -1).Get());
        EXPECT_EQ(Text(m_cache.TryLoad(TString("h")).Get()), "whole");
    }
    EXPECT_EQ(Text(m_cache.TryLoad(TString("k")).Get()), "mine");
    EXPECT_EQ(Keys(m_cache), (std::vector<TString>{TString("h"), TString("k")}));
}

TEST_F(DiskCache, UncreatableDirectoryIsLoggedTwiceAndCountsAsDone) {
    Write(m_dir.Path() / "blocker", "a file where a directory should be");
    DiskExternalCache blocked(TString("ns"), TPath(m_dir.Path() / "blocker" / "ns"), nullptr);
    EXPECT_TRUE(blocked.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_EQ(Attr(OnlyLine("ec-store"), "outcome"), TString("done"));
    int created = 0, stored = 0;
    for (const auto& line : m_host.Log().Records()) {
        if (line.severity != TLog::Warn) continue;
        created += line.message.startsWith(TString("Failed to create directory '"));
        stored += line.message.startsWith(TString("Exception in DiskExternalCache::TryStore"));
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(stored, 1);
}

TEST_F(DiskCache, SweeperKeepsTheMostRecentlyUsedWithinByteAndEntryBudgets) {
    // Entries of 100 value bytes and a 1-byte key; room for two of them.
    const auto order = FolderSweepOrder::LeastRecentlyWrittenFirst;
    DiskExternalCache cache(
        TString("ns"), std::make_shared<FolderSweeper>(205, order, 0, std::chrono::minutes(5)));
    const auto value = std::make_shared<ExternalBytes>(100, 'x');
    ASSERT_TRUE(cache.TryStore(TString("a"), value, 0, -1).Get());
    ASSERT_TRUE(cache.TryStore(TString("b"), value, 0, -1).Get());
    Age(EntryDir("a"), 200, {".key", ".bin"});
    Age(EntryDir("b"), 100, {".key", ".bin"});
    ASSERT_NE(cache.TryLoad(TString("a")).Get(), nullptr);  // a is now the most recently used
    ASSERT_TRUE(cache.TryStore(TString("c"), value, 0, -1).Get());
    EXPECT_EQ(Keys(cache), (std::vector<TString>{TString("a"), TString("c")}));
    // A budget of 0 keeps only the entry being written.
    DiskExternalCache tight(TString("ns"),
                            std::make_shared<FolderSweeper>(0, order, 0, std::chrono::minutes(5)));
    ASSERT_TRUE(tight.TryStore(TString("d"), value, 0, -1).Get());
    EXPECT_EQ(tight.TryGetAllKeys(), std::vector<TString>{TString("d")});

    // An entry limit keeps the newest; a missing directory is no work.
    FolderSweeper counted(1 << 20, order, 2, std::chrono::hours(1));
    EXPECT_EQ(counted.Sweep(TPath(m_dir.Path() / "missing"), 10), 0u);
    for (int i = 0; i < 4; ++i) {
        Write(m_dir.Path() / "sweep" / std::to_string(i) / "f", "data");
        Age(m_dir.Path() / "sweep" / std::to_string(i), 100 - i, {"f"});
    }
    EXPECT_EQ(counted.Sweep(TPath(m_dir.Path() / "sweep"), 4), 3u);
    EXPECT_TRUE(fs::exists(m_dir.Path() / "sweep" / "3"));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.Path() / "sweep"), {}), 1);
}

}  // namespace
