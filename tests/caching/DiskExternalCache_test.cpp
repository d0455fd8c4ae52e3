#include "caching/DiskExternalCache.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <shared_mutex>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "ExternalCacheTestSupport.h"
#include "caching/ExternalCacheFactory.h"
#include "velcore/AppOptions.h"
#include "velcore/FileUtil.h"
#include "velsys/Hash.h"

using namespace velmora::caching;
using namespace veltest;
namespace fs = std::filesystem;

namespace {

// Values that check themselves: which key (0..7) and which write made them, a length that
// varies with the write, every byte derived from both, so that any mix of two values, a cut-off
// value or another key's value is told from a value that was stored whole.
ExternalBytesPtr Stamped(int keyIndex, std::uint32_t write) {
    const std::size_t size = 16 + (write * 7919u) % (192 * 1024);
    auto value = std::make_shared<ExternalBytes>(size);
    for (std::size_t i = 0; i < size; ++i)
        (*value)[i] = static_cast<unsigned char>((i * 131 + write * 31 + unsigned(keyIndex)) >> 3);
    std::memcpy(value->data(), &write, 4);
    (*value)[4] = static_cast<unsigned char>(keyIndex);
    return value;
}
bool IsWhole(const ExternalBytes& value, int keyIndex) {
    std::uint32_t write = 0;
    if (value.size() < 16) return false;
    std::memcpy(&write, value.data(), 4);
    return *Stamped(keyIndex, write) == value;
}
bool IsDigits(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), ::isdigit);
}
TString StampKey(int keyIndex) {
    return TString::number(keyIndex) + TString("-key");
}

// A writer process: this test program started again with VELTEST_DISK_WRITER=<dir>:<id> stores
// stamped values of eight keys until it is killed or its time is up, then exits.
const int s_writerRole = [] {
    const char* role = std::getenv("VELTEST_DISK_WRITER");
    if (!role) return 0;
    const std::string text(role);
    const std::size_t colon = text.rfind(':');
    AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(text.substr(0, colon)));
    const std::uint32_t id = std::uint32_t(std::stoul(text.substr(colon + 1)));
    DiskExternalCache cache(TString("torn"), nullptr);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::uint32_t write = id << 20; std::chrono::steady_clock::now() < end; ++write)
        cache.TryStore(StampKey(int(write % 8)), Stamped(int(write % 8), write), 0, -1).Get();
    std::_Exit(0);
}();

pid_t StartWriter(const fs::path& dir, int id) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string role = dir.string() + ":" + std::to_string(id);
        ::setenv("VELTEST_DISK_WRITER", role.c_str(), 1);
        ::execl("/proc/self/exe", "writer", static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    return pid;
}

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

TEST_F(DiskCache, LayoutMissAndDrop) {
    EXPECT_TRUE(m_cache.TryGetAllKeys().empty());
    EXPECT_FALSE(fs::exists(m_dir.Path()));  // listing creates nothing
    EXPECT_EQ(m_cache.TryLoad(TString("grüße:1")).Get(), nullptr);
    EXPECT_EQ(Attr(OnlyLine("ec-load"), "outcome"), TString("miss"));
    EXPECT_EQ(m_host.Log().Records().size(), 1u);  // the miss itself logs nothing more

    ASSERT_TRUE(m_cache.TryStore(TString("grüße:1"), Bytes(std::string("a\0b", 3)), 0, 60).Get());
    const std::u16string units = u"grüße:1";
    const fs::path entry = m_dir.Path() / "ExternalCacheV1" / "ns" /
                           std::to_string(THash32(units.data(), units.size() * 2, 0xDEADBEEF));
    EXPECT_EQ(Read(entry / ".key"), "grüße:1");
    EXPECT_EQ(Read(entry / ".bin"), std::string("a\0b", 3));
    EXPECT_EQ(std::distance(fs::directory_iterator(entry), {}), 2);

    Clear();
    EXPECT_TRUE(m_cache.TryDrop(TString("never stored")).Get());
    EXPECT_EQ(m_host.Metrics().Find(TString("DiskExternalCache::TryDrop")).size(), 1u);
}

// Entries a load must not trust read as absent and are not listed, and the next store replaces
// them: an entry of the same hash holding another key (a collision, or a foreign writer),
// half-written ones, and a ".key" that cannot be read (a directory or a symbolic link where the
// file belongs), on which every store used to fail, so that the key could never be stored again.
TEST_F(DiskCache, UnreadableKeyFileIsReplacedByTheNextStore) {
    Write(m_dir.Path() / "elsewhere", "k");
    const fs::path entry = EntryDir("k"), key = entry / ".key", bin = entry / ".bin";
    const std::pair<const char*, std::function<void()>> damages[] = {
        {"another key", [&] { Write(key, "someone else"), Write(bin, "theirs"); }},
        {"no .key", [&] { Write(bin, "bytes"); }},
        {"no .bin", [&] { Write(key, "k"); }},
        {".key a directory", [&] { Write(bin, "old"), fs::create_directory(key); }},
        {".key a link",
         [&] { Write(bin, "old"), fs::create_symlink(m_dir.Path() / "elsewhere", key); }},
    };
    for (const auto& [name, damage] : damages) {
        SCOPED_TRACE(name);
        fs::remove_all(entry);
        damage();
        EXPECT_EQ(m_cache.TryLoad(TString("k")).Get(), nullptr);
        const std::vector<TString> listed = m_cache.TryGetAllKeys();
        EXPECT_EQ(std::count(listed.begin(), listed.end(), TString("k")), 0);
        ASSERT_TRUE(m_cache.TryStore(TString("k"), Bytes(name), 0, -1).Get());
        EXPECT_EQ(Text(m_cache.TryLoad(TString("k")).Get()), name);
        EXPECT_EQ(Read(key), "k");
        EXPECT_EQ(m_cache.TryGetAllKeys(), std::vector<TString>{TString("k")});
    }
    EXPECT_EQ(Read(m_dir.Path() / "elsewhere"), "k");
}

TEST_F(DiskCache, UncreatableDirectoryIsLoggedTwiceAndCountsAsDone) {
    Write(m_dir.Path() / "blocker", "a file where a directory should be");
    DiskExternalCache blocked(TString("ns"), TPath(m_dir.Path() / "blocker" / "ns"), nullptr);
    EXPECT_TRUE(blocked.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_EQ(Attr(OnlyLine("ec-store"), "outcome"), TString("done"));
    std::vector<std::string> warned;
    for (const auto& line : m_host.Log().Records())
        if (line.severity == TLog::Warn) warned.push_back(line.message.mid(0, 27).toStdString());
    EXPECT_EQ(warned, (std::vector<std::string>{"Failed to create directory ",
                                                "Exception in DiskExternalCa"}));
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
    // An entry limit keeps the newest.
    FolderSweeper counted(1 << 20, order, 2, std::chrono::hours(1));
    for (int i = 0; i < 4; ++i) {
        Write(m_dir.Path() / "sweep" / std::to_string(i) / "f", "data");
        Age(m_dir.Path() / "sweep" / std::to_string(i), 100 - i, {"f"});
    }
    EXPECT_EQ(counted.Sweep(TPath(m_dir.Path() / "sweep"), 4), 3u);
    EXPECT_TRUE(fs::exists(m_dir.Path() / "sweep" / "3"));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.Path() / "sweep"), {}), 1);
}

// Stores used to rewrite ".bin" in place, so a load racing a store of another process read a
// value half written. Two writer processes and a reader, then a writer killed mid-store again
// and again: every hit is a whole value of its key.
TEST_F(DiskCache, TornValueHitAcrossProcesses) {
    std::vector<pid_t> writers{StartWriter(m_dir.Path(), 1), StartWriter(m_dir.Path(), 2)};
    DiskExternalCache reader(TString("torn"), nullptr);
    int hits = 0, torn = 0;
    const auto check = [&] {
        for (int k = 0; k < 8; ++k)
            if (const auto value = reader.TryLoad(StampKey(k)).Get())
                ++hits, torn += !IsWhole(*value, k);
    };
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
         std::chrono::steady_clock::now() < end;)
        check();
    for (int round = 0; round < 40; ++round) {
        ::kill(writers.back(), SIGKILL);
        ::waitpid(writers.back(), nullptr, 0);
        writers.back() = StartWriter(m_dir.Path(), 3 + round);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + round % 7 * 10));
        check();
    }
    for (pid_t pid : writers) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    check();
    RecordProperty("hits", hits);
    RecordProperty("torn", torn);
    EXPECT_GT(hits, 100);
    EXPECT_EQ(torn, 0) << "of " << hits << " hits";
    // What killed writers left behind is invisible to listings, and old leftovers get swept.
    std::vector<TString> keys = reader.TryGetAllKeys();
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    EXPECT_LE(keys.size(), 8u);
    const fs::path ns = m_dir.Path() / "ExternalCacheV1" / "torn";
    for (const auto& item : fs::recursive_directory_iterator(ns))
        ASSERT_TRUE(LastWriteTime(TPath(item.path()),
                                  DateTime::GetLocalTime() - DateTimeSpan::FromSeconds(3600)));
    DiskExternalCache swept(
        TString("torn"),
        std::make_shared<FolderSweeper>(1ull << 40, FolderSweepOrder::LeastRecentlyWrittenFirst, 0,
                                        std::chrono::hours(1)));
    ASSERT_TRUE(swept.TryStore(StampKey(0), Stamped(0, 1), 0, -1).Get());
    for (const auto& item : fs::recursive_directory_iterator(ns)) {
        const std::string name = item.path().filename().string();
        EXPECT_TRUE(name == ".key" || name == ".bin" || IsDigits(name)) << item.path();
    }
}

// Stores of one key racing each other (worker processes filling the same entry) used to fail
// now and then with a logged exception: one store wrote its new value into the entry's directory
// while another retired that directory. A store that loses such a race now builds a fresh entry
// instead; the last value stored is whole and no store complains.
TEST_F(DiskCache, RacingStoresOfOneKeyLoggedFailures) {
    constexpr int kWriters = 4, kStores = 400;
    std::vector<std::thread> writers;
    // Stores share the lock; the reader's removals take it alone, and only while a quarter of
    // the stores or more are still to come, so the last value stored is there at the end.
    std::shared_mutex removal;
    std::atomic<int> stored{0};
    for (int t = 0; t < kWriters; ++t)
        writers.emplace_back([&, t] {
            for (std::uint32_t i = 0; i < kStores; ++i) {
                std::shared_lock<std::shared_mutex> storing(removal);
                m_cache.TryStore(StampKey(0), Stamped(0, std::uint32_t(t) << 20 | i), 0, -1).Get();
                ++stored;
            }
        });
    // A reader sees a whole value or none, and a store of another key with the same layout
    // meanwhile replaces the whole directory now and then. It reads until the writers are done
    // and it has seen a value (however the threads were scheduled).
    int hits = 0;
    for (int i = 0; (i < 400 || stored < kWriters * kStores || hits == 0) && i < 100000; ++i) {
        if (const auto value = m_cache.TryLoad(StampKey(0)).Get()) {
            ++hits;
            EXPECT_TRUE(IsWhole(*value, 0));
        }
        if (i % 50 != 0) continue;
        std::unique_lock<std::shared_mutex> alone(removal);
        std::error_code ignored;
        if (stored < kWriters * kStores * 3 / 4) fs::remove_all(EntryDir("0-key"), ignored);
    }
    for (auto& writer : writers) writer.join();
    EXPECT_GT(hits, 0);
    const auto value = m_cache.TryLoad(StampKey(0)).Get();
    ASSERT_TRUE(value);
    EXPECT_TRUE(IsWhole(*value, 0));
    for (const auto& record : m_host.Log().Records())
        EXPECT_LT(record.severity, TLog::Warn) << record.message.toStdString();
}

// The permission bits of `path` (not following a symbolic link).
unsigned Mode(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Whatever the umask, what the cache creates is its user's alone (or, in group mode, its
// group's too), on a first store as on a store replacing a value in place; directories of its
// own that are looser are tightened on first use.
TEST_F(DiskCache, PrivateModesWhateverTheUmask) {
    const fs::path v1 = m_dir.Path() / "ExternalCacheV1";
    const struct {
        int access;
        mode_t umask;
        unsigned directory, file;
    } cases[] = {
        {0, 0000, 0700, 0600}, {0, 0022, 0700, 0600}, {1, 0000, 0770, 0660}, {1, 0077, 0770, 0660}};
    for (const auto& c : cases) {
        SCOPED_TRACE("access " + std::to_string(c.access) + ", umask " + std::to_string(c.umask));
        fs::remove_all(m_dir.Path());
        velmora::appoptions::ScopedOverride access("ExternalCacheDiskAccess", c.access);
        const mode_t previous = ::umask(c.umask);
        DiskExternalCache cache(TString("ns"), nullptr);
        const bool stored = cache.TryStore(TString("k"), Bytes("first"), 0, -1).Get() &&
                            cache.TryStore(TString("k"), Bytes("second"), 0, -1).Get();
        ::umask(previous);
        ASSERT_TRUE(stored);
        EXPECT_EQ(Text(cache.TryLoad(TString("k")).Get()), "second");
        for (const fs::path& dir : {v1, v1 / "ns", EntryDir("k")})
            EXPECT_EQ(Mode(dir), c.directory) << dir;
        for (const char* file : {".key", ".bin"})
            EXPECT_EQ(Mode(EntryDir("k") / file), c.file) << file;
    }
    fs::permissions(v1, fs::perms(0755));
    fs::permissions(v1 / "ns", fs::perms(0777));
    DiskExternalCache again(TString("ns"), nullptr);
    EXPECT_EQ(Text(again.TryLoad(TString("k")).Get()), "second");
    EXPECT_EQ(Mode(v1), 0700u);
    EXPECT_EQ(Mode(v1 / "ns"), 0700u);
}

// A cache whose directories cannot be trusted (a symbolic link, another user's directory, a
// directory every user may write to) touches none of them: loads miss, stores and drops are
// skipped (and count as done), listings are empty, and one Error line says what is wrong. A
// shared directory with the sticky bit is fine.
// A cache path named directly under a shared directory ("/tmp/cache", as a host or a test would
// name one) had its parent tightened to 0700 as if it were the cache's own: /tmp closed to every
// other user of the machine (a server run as another user could no longer reach its files).
TEST_F(DiskCache, ASharedDirectoryAboveTheCacheIsNotTightened) {
    const fs::path shared = m_dir.Path() / "shared";
    fs::create_directories(shared);
    fs::permissions(shared, fs::perms(01777));
    velmora::appoptions::ScopedOverride access("ExternalCacheDiskAccess", 0);  // private modes
    DiskExternalCache cache(TString("ns"), TPath(shared / "cache"), nullptr);
    ASSERT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_EQ(Text(cache.TryLoad(TString("k")).Get()), "v");
    EXPECT_EQ(Mode(shared), 01777u);
    EXPECT_EQ(Mode(shared / "cache"), 0700u) << "the cache's own directory is still private";
}

TEST_F(DiskCache, UntrustedRootsAreLeftAlone) {
    const fs::path root = m_dir.Path();
    const fs::path v1 = root / "ExternalCacheV1", ns = v1 / "ns";
    const bool superuser = ::geteuid() == 0;
    const struct {
        const char* name;
        std::function<bool()> prepare;  // false: the case cannot be staged here
        const char* why;                // part of the Error line; null: the cache works
    } cases[] = {
        {"namespace directory is a symbolic link",
         [&] {
             fs::create_directories(root / "elsewhere");
             fs::create_directories(v1);
             fs::create_directory_symlink(root / "elsewhere", ns);
             return true;
         },
         "is a symbolic link"},
        {"ExternalCacheV1 belongs to another user",
         [&] {
             fs::create_directories(ns);
             return superuser && ::chown(v1.c_str(), 65534, 65534) == 0;
         },
         "belongs to user 65534"},
        {"configured directory writable by every user",
         [&] {
             fs::create_directories(root);
             fs::permissions(root, fs::perms(0777));
             return true;
         },
         "writable by every user"},
        {"configured directory shared with the sticky bit",
         [&] {
             fs::create_directories(root);
             fs::permissions(root, fs::perms(01777));
             return true;
         },
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root);
        if (!c.prepare()) {
            std::printf("[skipped] %s: cannot be staged as this user\n", c.name);
            continue;
        }
        const auto tree = [&] {
            std::vector<std::string> paths;
            for (const auto& item : fs::recursive_directory_iterator(root))
                paths.push_back(item.path().string() + " " + std::to_string(Mode(item.path())));
            std::sort(paths.begin(), paths.end());
            return paths;
        };
        const std::vector<std::string> before = tree();
        Clear();
        DiskExternalCache cache(TString("ns"), nullptr);
        EXPECT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
        EXPECT_TRUE(cache.TryDrop(TString("other")).Get());
        const ExternalBytesPtr loaded = cache.TryLoad(TString("k")).Get();
        std::vector<std::string> errors;
        for (const auto& record : m_host.Log().Records())
            if (record.severity == TLog::Error) errors.push_back(record.message.toStdString());
        if (!c.why) {
            EXPECT_EQ(Text(loaded), "v");
            EXPECT_TRUE(errors.empty());
            continue;
        }
        EXPECT_EQ(loaded, nullptr);
        EXPECT_TRUE(cache.TryGetAllKeys().empty());
        EXPECT_EQ(tree(), before) << "the cache touched a directory it does not trust";
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(c.why), std::string::npos) << errors[0];
    }
    fs::permissions(root, fs::perms(0700));
}

// A namespace such as "../.." used to name directories above "ExternalCacheV1", whose sweeper
// then deleted the cache's own tree and its siblings; an absolute one replaced the root.
TEST_F(DiskCache, NamespaceEscapingTheRoot) {
    Write(m_dir.Path() / "sibling" / "keep.txt", "foreign");
    Write(m_dir.Path() / "ExternalCacheV1" / "foreign.txt", "foreign");
    const char* hostile[] = {"../..", "..", ".", "", "/abs", "a/b", "a%2Fb", "..\\x", "%", "ns"};
    std::set<fs::path> dirs;
    for (const char* ns : hostile) {
        SCOPED_TRACE(ns);
        const auto cache = ExternalCacheFactory::MakeDefaultCacheForDesktop()(TString(ns), 0, 0);
        ASSERT_TRUE(cache->TryStore(TString("k"), Bytes(ns), 0, -1).Get());
        EXPECT_EQ(Text(cache->TryLoad(TString("k")).Get()), ns);
        auto* disk = dynamic_cast<DiskExternalCache*>(cache.get());
        ASSERT_TRUE(disk);
        const fs::path dir = disk->GetCachePath().Native();
        EXPECT_EQ(dir.parent_path(), m_dir.Path() / "ExternalCacheV1");
        dirs.insert(dir);
    }
    EXPECT_EQ(dirs.size(), std::size(hostile));  // distinct namespaces, distinct directories
    EXPECT_EQ(Read(m_dir.Path() / "sibling" / "keep.txt"), "foreign");
    EXPECT_EQ(Read(m_dir.Path() / "ExternalCacheV1" / "foreign.txt"), "foreign");
    // A sweeper with a budget of 0 deletes entries only: no foreign file, no symbolic link's
    // target, no young leftover of a writer at work.
    const fs::path ns = m_dir.Path() / "ExternalCacheV1" / "ns";
    Write(ns / "notes.txt", "foreign");
    Write(ns / ".new-young" / ".bin", "in progress");
    fs::create_directory_symlink(m_dir.Path() / "sibling", ns / "4242");
    DiskExternalCache cache(TString("ns"), std::make_shared<FolderSweeper>(
                                               0, FolderSweepOrder::LeastRecentlyWrittenFirst, 0,
                                               std::chrono::minutes(5)));
    ASSERT_TRUE(cache.TryStore(TString("other"), Bytes("v"), 0, -1).Get());
    EXPECT_EQ(cache.TryLoad(TString("k")).Get(), nullptr);  // swept
    EXPECT_EQ(Text(cache.TryLoad(TString("other")).Get()), "v");
    EXPECT_EQ(Read(ns / "notes.txt"), "foreign");
    EXPECT_TRUE(fs::exists(ns / ".new-young" / ".bin"));
    EXPECT_EQ(Read(m_dir.Path() / "sibling" / "keep.txt"), "foreign");
}

// A store that failed part-way (a full disk) used to leave a half-written entry behind.
TEST_F(DiskCache, HalfWrittenEntryOnAFullDisk) {
    const fs::path mount = m_dir.Path() / "small";
    fs::create_directories(mount);
    if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here (" << std::strerror(errno)
                     << "); the full-disk case needs root or CAP_SYS_ADMIN";
    struct Unmount {
        fs::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{mount};
    DiskExternalCache cache(TString("full"), TPath(mount / "ns"), nullptr);
    const auto big = std::make_shared<ExternalBytes>(600 * 1024, 'b');
    ASSERT_TRUE(cache.TryStore(TString("k"), big, 0, -1).Get());
    // Neither a new entry nor a new value for an old one fits; both fail whole.
    for (const char* key : {"new", "k"}) {
        SCOPED_TRACE(key);
        EXPECT_TRUE(
            cache.TryStore(TString(key), std::make_shared<ExternalBytes>(700 * 1024, 'n'), 0, -1)
                .Get());
        EXPECT_EQ(*cache.TryLoad(TString("k")).Get(), *big);
        EXPECT_EQ(cache.TryLoad(TString("new")).Get(), nullptr);
        EXPECT_EQ(cache.TryGetAllKeys(), std::vector<TString>{TString("k")});
        std::size_t files = 0;
        for (const auto& item : fs::recursive_directory_iterator(mount / "ns"))
            files += item.is_regular_file();
        EXPECT_EQ(files, 2u);  // exactly .key and .bin of "k"
    }
}

}  // namespace
