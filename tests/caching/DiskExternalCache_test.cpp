#include "caching/DiskExternalCache.h"

#include <gtest/gtest.h>

#include "ExternalCacheTestSupport.h"
#include "velcore/FileUtil.h"
#include "velsys/Hash.h"

using namespace velmora::caching;
using namespace veltest;
namespace fs = std::filesystem;

namespace {

class DiskCache : public ExternalCacheTest {
protected:
    fs::path NamespaceDir() const { return m_dir.Path() / "ExternalCacheV1" / "ns"; }
    fs::path EntryDir(const char* key) const {
        return NamespaceDir() / ExternalCacheKeyHash(TString(key)).toStdString();
    }
    static void WriteFile(const fs::path& path, const std::string& content) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    // Sets the last-write time of every file of an entry `secondsAgo` into the past.
    void Age(const char* key, int secondsAgo) {
        const DateTime when = DateTime::GetLocalTime() - DateTimeSpan::FromSeconds(secondsAgo);
        for (const char* file : {"", ".key", ".bin"})
            ASSERT_TRUE(LastWriteTime(TPath(EntryDir(key) / file), when));
    }

    ScratchDir m_dir;
    DiskExternalCache m_cache{TString("ns"), nullptr};
};

TEST_F(DiskCache, StoreWritesKeyAndBytesUnderTheKeyHashAndAnotherInstanceFindsThem) {
    ASSERT_TRUE(m_cache.TryStore(TString("grüße:1"), Bytes(std::string("a\0b", 3)), 0, 60).Get());
    const std::u16string units = u"grüße:1";
    const auto hash = THash32(units.data(), units.size() * 2, 0xDEADBEEF);
    const fs::path entry = NamespaceDir() / std::to_string(hash);
    EXPECT_EQ(ReadFile(entry / ".key"), "grüße:1");
    EXPECT_EQ(ReadFile(entry / ".bin"), std::string("a\0b", 3));
    EXPECT_EQ(std::distance(fs::directory_iterator(entry), {}), 2);

    DiskExternalCache other(TString("ns"), nullptr);
    EXPECT_EQ(Text(other.TryLoad(TString("grüße:1")).Get()), std::string("a\0b", 3));
    EXPECT_EQ(other.TryGetAllKeys(), std::vector<TString>{TString("grüße:1")});
    DiskExternalCache elsewhere(TString("other-ns"), nullptr);
    EXPECT_EQ(elsewhere.TryLoad(TString("grüße:1")).Get(), nullptr);
}

TEST_F(DiskCache, OverwriteEmptyValueMissAndDrop) {
    EXPECT_EQ(m_cache.TryLoad(TString("k")).Get(), nullptr);
    EXPECT_EQ(Attr(OnlyLine("ec-load"), "outcome"), TString("miss"));
    EXPECT_EQ(m_host.Log().Records().size(), 1u);  // the miss itself logs nothing more

    ASSERT_TRUE(m_cache.TryStore(TString("k"), Bytes("first, longer"), 0, -1).Get());
    ASSERT_TRUE(m_cache.TryStore(TString("k"), Bytes("second"), 0, -1).Get());
    EXPECT_EQ(Text(m_cache.TryLoad(TString("k")).Get()), "second");
    ASSERT_TRUE(m_cache.TryStore(TString("k"), std::make_shared<ExternalBytes>(), 0, -1).Get());
    const auto empty = m_cache.TryLoad(TString("k")).Get();
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->empty());

    EXPECT_TRUE(m_cache.TryDrop(TString("k")).Get());
    EXPECT_FALSE(fs::exists(EntryDir("k")));
    Clear();
    EXPECT_TRUE(m_cache.TryDrop(TString("never stored")).Get());
    EXPECT_EQ(Attr(OnlyLine("ec-drop"), "outcome"), TString("done"));
    EXPECT_EQ(m_metrics->Find(TString("DiskExternalCache::TryDrop")).size(), 1u);
}

TEST_F(DiskCache, ForeignKeyAndHalfWrittenEntriesReadAsAbsentUntilStoredAgain) {
    // An entry of the same hash holding another key (a collision, or a foreign writer).
    WriteFile(EntryDir("k") / ".key", "someone else");
    WriteFile(EntryDir("k") / ".bin", "theirs");
    EXPECT_EQ(m_cache.TryLoad(TString("k")).Get(), nullptr);
    ASSERT_TRUE(m_cache.TryStore(TString("k"), Bytes("mine"), 0, -1).Get());
    EXPECT_EQ(Text(m_cache.TryLoad(TString("k")).Get()), "mine");

    for (const char* only : {".bin", ".key"}) {
        SCOPED_TRACE(only);
        fs::remove_all(EntryDir("h"));
        WriteFile(EntryDir("h") / only, only == std::string(".key") ? "h" : "bytes");
        EXPECT_EQ(m_cache.TryLoad(TString("h")).Get(), nullptr);
        EXPECT_EQ(m_cache.TryGetAllKeys(), std::vector<TString>{TString("k")});
        ASSERT_TRUE(m_cache.TryStore(TString("h"), Bytes("whole"), 0, -1).Get());
        EXPECT_EQ(Text(m_cache.TryLoad(TString("h")).Get()), "whole");
    }
    auto keys = m_cache.TryGetAllKeys();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<TString>{TString("h"), TString("k")}));
}

TEST_F(DiskCache, ListingAnUnwrittenNamespaceCreatesNothing) {
    EXPECT_TRUE(m_cache.TryGetAllKeys().empty());
    EXPECT_FALSE(fs::exists(m_dir.Path()));
}

TEST_F(DiskCache, UncreatableDirectoryIsLoggedTwiceAndCountsAsDone) {
    WriteFile(m_dir.Path() / "blocker", "a file where a directory should be");
    DiskExternalCache blocked(TString("ns"), TPath(m_dir.Path() / "blocker" / "ns"), nullptr);
    EXPECT_TRUE(blocked.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_EQ(Attr(OnlyLine("ec-store"), "outcome"), TString("done"));
    const auto warns = m_host.Log().Records();
    int created = 0, stored = 0;
    for (const auto& line : warns) {
        if (line.severity != TLog::Warn) continue;
        created += line.message.startsWith(TString("Failed to create directory '"));
        stored += line.message.startsWith(TString("Exception in DiskExternalCache::TryStore"));
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(stored, 1);
}

TEST_F(DiskCache, SweeperDeletesLeastRecentlyUsedEntriesToStayInBudget) {
    // Entries of 100 value bytes and a 1-byte key; room for two of them.
    auto sweeper = std::make_shared<FolderSweeper>(205, FolderSweepOrder::LeastRecentlyWrittenFirst,
                                                   0, std::chrono::minutes(5));
    DiskExternalCache cache(TString("ns"), sweeper);
    const auto value = std::make_shared<ExternalBytes>(100, 'x');
    ASSERT_TRUE(cache.TryStore(TString("a"), value, 0, -1).Get());
    ASSERT_TRUE(cache.TryStore(TString("b"), value, 0, -1).Get());
    Age("a", 200);
    Age("b", 100);
    ASSERT_NE(cache.TryLoad(TString("a")).Get(), nullptr);  // a is now the most recently used
    ASSERT_TRUE(cache.TryStore(TString("c"), value, 0, -1).Get());
    EXPECT_TRUE(fs::exists(EntryDir("a")));
    EXPECT_FALSE(fs::exists(EntryDir("b")));
    EXPECT_TRUE(fs::exists(EntryDir("c")));

    // A budget of 0 keeps only the entry being written.
    auto none = std::make_shared<FolderSweeper>(0, FolderSweepOrder::LeastRecentlyWrittenFirst, 0,
                                                std::chrono::minutes(5));
    DiskExternalCache tight(TString("ns"), none);
    ASSERT_TRUE(tight.TryStore(TString("d"), value, 0, -1).Get());
    EXPECT_EQ(tight.TryGetAllKeys(), std::vector<TString>{TString("d")});
}

TEST(FolderSweeperCount, EntryLimitKeepsTheNewestAndAMissingDirectoryIsNoWork) {
    ScratchDir dir;
    FolderSweeper sweeper(1 << 20, FolderSweepOrder::LeastRecentlyWrittenFirst, 2,
                          std::chrono::hours(1));
    EXPECT_EQ(sweeper.Sweep(TPath(dir.Path() / "missing"), 10), 0u);
    const DateTime now = DateTime::GetLocalTime();
    for (int i = 0; i < 4; ++i) {
        const fs::path entry = dir.Path() / "sweep" / std::to_string(i);
        fs::create_directories(entry);
        std::ofstream(entry / "f") << "data";
        ASSERT_TRUE(LastWriteTime(TPath(entry / "f"), now - DateTimeSpan::FromSeconds(100 - i)));
        ASSERT_TRUE(LastWriteTime(TPath(entry), now - DateTimeSpan::FromSeconds(100 - i)));
    }
    EXPECT_EQ(sweeper.Sweep(TPath(dir.Path() / "sweep"), 4), 3u);
    EXPECT_TRUE(fs::exists(dir.Path() / "sweep" / "3"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path() / "sweep"), {}), 1);
}

}  // namespace
