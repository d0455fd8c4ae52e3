// Read-through caches in separate host processes (tests/e2e/readthrough_peer.cpp) on a private
// redis-server, which is also their database: the races between a load and a change, values
// left in shared layers by others, and layers filling upward. The test takes the processes
// through each race step by step, so every run meets the same interleaving.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "caching/CascadeInvalidator.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/CoherenceMessages.h"
#include "caching/DerivedResultCache.h"
#include "caching/ReadThroughCache.h"
#include "caching/RedisPubsub.h"
#include "support/InteractivePeer.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velcoredata/DateTime.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/Hash.h"

namespace {

using namespace velmora::caching;
using namespace std::chrono_literals;
using velmora::appoptions::ScopedOverride;
using veltest::InteractivePeer;

// "word a=1 b=2" as {a: "1", b: "2"}.
std::map<std::string, std::string> Figures(const std::string& line) {
    std::map<std::string, std::string> figures;
    std::istringstream in(line);
    std::string word;
    in >> word;
    while (in >> word)
        if (const auto eq = word.find('='); eq != std::string::npos)
            figures[word.substr(0, eq)] = word.substr(eq + 1);
    return figures;
}

class ReadThroughAcrossProcesses : public veltest::RedisServerTest {
protected:
    void SetUp() override {
        RedisServerTest::SetUp();
        m_ns = "rt-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".";
    }

    std::string DiskAndRedis() const {
        return "disk:" + (m_dir.Path() / "disk").string() + ",redis";
    }
    std::string DiskOnly() const { return "disk:" + (m_dir.Path() / "disk").string(); }

    // A peer with `memory` entries in memory over `layers` ("-": none), subscribed and ready;
    // its errors go to readthrough_peer_<n>.log in the temporary directory, for the n-th peer
    // of the test.
    // `flag`: "keep-raced", "defaults" (see the peer) or "".
    std::unique_ptr<InteractivePeer> Start(int memory, const std::string& layers,
                                           const std::string& flag = "") {
        std::vector<std::string> args{std::to_string(Server().Port()), m_ns, "rows",
                                      std::to_string(memory), layers};
        if (!flag.empty()) args.push_back(flag);
        const std::string log = "readthrough_peer_" + std::to_string(m_peers++) + ".log";
        auto peer =
            std::make_unique<InteractivePeer>("readthrough_peer", args, ::testing::TempDir() + log);
        EXPECT_EQ(peer->ReadLine(), "ready");
        return peer;
    }
    void Row(const std::string& key, const std::string& value) {
        Server().Command({"SET", "db:" + key, value});
    }

    // Rows `keys` are "old", loaded by `storer` (memory off) and stored in both layers, and
    // served from each layer while no change is known; then a writer without layers changes
    // every row to "new" (by Set for keys beginning "set", else by Invalidate), which leaves the
    // stored copies where they are. Returns once `storer` has applied every announcement.
    void StoreThenChange(InteractivePeer& storer, const std::vector<std::string>& keys) {
        for (const std::string& key : keys) {
            Row(key, "old");
            EXPECT_EQ(storer.Ask("get " + key), "got old loader -1");
            EXPECT_EQ(storer.Ask("await-stored " + key), "stored");
        }
        {
            auto diskReader = Start(0, DiskOnly());
            auto redisReader = Start(0, "redis");
            EXPECT_EQ(diskReader->Ask("get " + keys[0]), "got old external 0");
            EXPECT_EQ(redisReader->Ask("get " + keys[0]), "got old external 0");
        }
        // Every Get above announced its content; the changes come after them.
        const std::size_t gets = keys.size() + 2;
        EXPECT_EQ(storer.Ask("await-applied " + std::to_string(gets)),
                  "applied " + std::to_string(gets));
        auto writer = Start(100, "-");
        for (const std::string& key : keys) {
            const bool set = key.rfind("set", 0) == 0;
            EXPECT_EQ(writer->Ask((set ? "set " : "change ") + key + " new"),
                      set ? "set" : "changed");
        }
        const std::size_t all = gets + keys.size();
        EXPECT_EQ(storer.Ask("await-applied " + std::to_string(all)),
                  "applied " + std::to_string(all));
    }

    veltest::TempDir m_dir{"readthrough"};
    std::string m_ns;
    int m_peers = 0;
};

// ---- tags: three processes, one InvalidateTag ----

// Waits until `peer` has heard `n` tag invalidations (its "tags" line); false after 10 s.
bool HeardTags(InteractivePeer& peer, int n) {
    return veltest::Eventually([&] { return std::stoi(Figures(peer.Ask("tags"))["heard"]) >= n; });
}

// An InvalidateTag in one process drops the tagged entries of the others, in memory and on
// disk and Redis (their copies are refused when read), and leaves untagged ones alone; a process
// started after the invalidation does not serve the old copy it finds on disk.
TEST_F(ReadThroughAcrossProcesses, InvalidateTagDropsEveryTaggedValueInEveryProcessAndLayer) {
    for (const char* key : {"t1", "t2", "u"}) Row(key, "old");
    auto a = Start(100, DiskAndRedis());
    auto b = Start(100, DiskAndRedis());
    auto writer = Start(100, "-");
    EXPECT_EQ(a->Ask("tget t1 row:1,other"), "got old loader -1");
    EXPECT_EQ(a->Ask("tget t2 row:1"), "got old loader -1");
    EXPECT_EQ(a->Ask("get u"), "got old loader -1");
    for (const char* key : {"t1", "t2", "u"})
        EXPECT_EQ(a->Ask(std::string("await-stored ") + key), "stored");
    EXPECT_EQ(b->Ask("get t1"), "got old external 0") << "its tags come with it from disk";
    EXPECT_EQ(b->Ask("get u"), "got old external 0");

    for (const char* key : {"t1", "t2"}) Row(key, "new");
    EXPECT_EQ(writer->Ask("invalidate-tag row:1"), "invalidated");
    ASSERT_TRUE(HeardTags(*a, 1));
    ASSERT_TRUE(HeardTags(*b, 1));
    EXPECT_EQ(a->Ask("held"), "held u=old");
    EXPECT_EQ(b->Ask("held"), "held u=old");
    EXPECT_EQ(Figures(a->Ask("tags"))["dropped"], "2");
    EXPECT_EQ(a->Ask("get t1"), "got new loader -1") << "the stored copies are refused";
    EXPECT_EQ(Figures(a->Ask("tags"))["refused"], "2");  // the disk copy, then Redis's
    EXPECT_EQ(b->Ask("get u"), "got old memory -1");

    auto late = Start(0, DiskOnly());
    EXPECT_EQ(late->Ask("get t2"), "got new loader -1") << "it read the invalidation at start";
    EXPECT_EQ(late->Ask("get u"), "got old external 0");
}

// A load reads its row, the row changes and its tag is invalidated, and the load ends after the
// invalidation was heard: the caller gets what it read, but the value is neither held nor stored.
TEST_F(ReadThroughAcrossProcesses, ATaggedLoadThatRacedAnInvalidationDoesNotFill) {
    Row("k", "old");
    auto reader = Start(100, DiskAndRedis());
    auto writer = Start(100, "-");
    reader->Send("tget-racing k row:9 1");
    EXPECT_EQ(reader->ReadLine(), "loaded old");
    Row("k", "new");
    EXPECT_EQ(writer->Ask("invalidate-tag row:9"), "invalidated");
    reader->Send("release");
    EXPECT_EQ(reader->ReadLine(), "heard");
    EXPECT_EQ(reader->ReadLine(), "got old loader -1");
    EXPECT_EQ(reader->Ask("held"), "held");
    EXPECT_EQ(Figures(reader->Ask("tags"))["refused"], "1");
    EXPECT_EQ(reader->Ask("tget k row:9"), "got new loader -1") << "nothing was stored below";
    EXPECT_EQ(reader->Ask("get k"), "got new memory -1");
}

// A reader whose subscription is killed while a tag is invalidated misses the message; once it
// is subscribed again it reads the stream from where it stopped and drops the entry.
TEST_F(ReadThroughAcrossProcesses, AReaderCutOffDuringATagInvalidationDropsAfterItReconnects) {
    Row("k", "old");
    auto reader = Start(100, "-");
    auto writer = Start(100, "-");
    EXPECT_EQ(reader->Ask("tget k row:5"), "got old loader -1");
    // The reader's subscriber is the oldest subscribed connection: it started first.
    const RedisReplyValue clients = Server().Command({"CLIENT", "LIST", "TYPE", "pubsub"});
    long long oldest = -1;
    std::istringstream lines(clients.text);
    for (std::string line; std::getline(lines, line);) {
        const long long id = std::stoll(line.substr(line.find("id=") + 3));
        if (oldest < 0 || id < oldest) oldest = id;
    }
    ASSERT_GE(oldest, 0);
    Server().Command({"CLIENT", "KILL", "ID", std::to_string(oldest)});
    Row("k", "new");
    EXPECT_EQ(writer->Ask("invalidate-tag row:5"), "invalidated");
    ASSERT_TRUE(veltest::Eventually([&] { return reader->Ask("held") == "held"; }));
    const auto tags = Figures(reader->Ask("tags"));
    EXPECT_EQ(tags.at("replayed"), "1") << "heard from the stream, not live";
    EXPECT_EQ(tags.at("gaps"), "0");
    EXPECT_EQ(reader->Ask("get k"), "got new loader -1");
}

// How long one InvalidateTag takes to drop 10,000 tagged entries in each of three processes
// (printed for the record; the test checks only that every process drops them all).
TEST_F(ReadThroughAcrossProcesses, OneInvalidateTagDropsTenThousandEntriesInThreeProcesses) {
    constexpr int kEntries = 10000;
    std::vector<std::unique_ptr<InteractivePeer>> peers;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(Start(kEntries, "-"));
        EXPECT_EQ(peers.back()->Ask("fill-tagged " + std::to_string(kEntries) + " bulk"),
                  "filled " + std::to_string(kEntries));
    }
    const auto sent = std::chrono::steady_clock::now().time_since_epoch().count();
    EXPECT_EQ(peers[0]->Ask("invalidate-tag bulk"), "invalidated");
    long long last = sent;
    for (auto& peer : peers) {
        const std::string line = peer->Ask("await-dropped " + std::to_string(kEntries));
        std::istringstream in(line);
        std::string word;
        long long dropped = 0, at = 0;
        in >> word >> dropped >> at;
        EXPECT_EQ(dropped, kEntries) << line;
        last = std::max(last, at);
        EXPECT_EQ(peer->Ask("held"), "held");
    }
    std::printf("InvalidateTag to the last of 3 processes dropping %d entries: %.1f ms\n", kEntries,
                static_cast<double>(last - sent) / 1e6);
}

// A reader's load reads the row, then a writer commits a change and announces it (by Set or by
// Invalidate), and only after the announcement has reached the reader does its load finish with
// the old row. The caller gets what it loaded, but the fill is dropped and counted: the next Get
// of the reader, and a Get of a process without memory over the same layers, see the change.
TEST_F(ReadThroughAcrossProcesses, AFillThatRacedAnAnnouncedChangeDoesNotStay) {
    for (const std::string writerCommand : {"set", "change"}) {
        SCOPED_TRACE(writerCommand);
        const std::string key = "row-" + writerCommand;
        Row(key, "old");
        auto reader = Start(100, DiskAndRedis());
        auto writer = Start(100, DiskAndRedis());

        reader->Send("get-racing " + key + " 1");
        ASSERT_EQ(reader->ReadLine(), "loaded old");
        EXPECT_EQ(writer->Ask(writerCommand + " " + key + " new"),
                  writerCommand == "set" ? "set" : "changed");
        reader->Send("release");
        ASSERT_EQ(reader->ReadLine(), "announced");
        EXPECT_EQ(reader->ReadLine(), "got old loader -1");

        const auto counters = Figures(reader->Ask("counters"));
        EXPECT_EQ(counters.at("raced"), "1");
        EXPECT_EQ(reader->Ask("held"), "held");
        const std::string again = reader->Ask("get " + key);
        EXPECT_EQ(again.substr(0, 8), "got new ") << again;
        EXPECT_EQ(reader->Ask("held"), "held " + key + "=new");

        auto lower = Start(0, DiskAndRedis());
        const std::string below = lower->Ask("get " + key);
        EXPECT_EQ(below.substr(0, 8), "got new ") << below;
    }
}

// The same steps with dropping turned off keep the old row in the reader's memory for good: the
// steps above do stage the race they guard against.
TEST_F(ReadThroughAcrossProcesses, WithoutTheVerdictTheRacedFillStaysStale) {
    Row("row", "old");
    auto reader = Start(100, "-", "keep-raced");
    auto writer = Start(100, "-");
    reader->Send("get-racing row 1");
    ASSERT_EQ(reader->ReadLine(), "loaded old");
    EXPECT_EQ(writer->Ask("set row new"), "set");
    reader->Send("release");
    ASSERT_EQ(reader->ReadLine(), "announced");
    EXPECT_EQ(reader->ReadLine(), "got old loader -1");
    EXPECT_EQ(reader->Ask("get row"), "got old memory -1");
    EXPECT_EQ(Figures(reader->Ask("counters")).at("raced"), "0");
}

// With every option at its default, a change another process announced a second after this
// process loaded the row was within the dirty rule's margin of the load, so the old row stayed
// in memory for good. Held entries now go when an announcement of other content arrives, and a
// process reading only the layers refuses the old copy as well.
TEST_F(ReadThroughAcrossProcesses, AChangeAnnouncedWithinTheMarginOfALoadWasIgnoredForGood) {
    for (const std::string writerCommand : {"set", "change"}) {
        SCOPED_TRACE(writerCommand);
        const std::string key = "margin-" + writerCommand;
        Row(key, "old");
        auto reader = Start(100, DiskAndRedis(), "defaults");
        auto writer = Start(100, DiskAndRedis(), "defaults");
        EXPECT_EQ(reader->Ask("get " + key), "got old loader -1");
        EXPECT_EQ(reader->Ask("await-applied 1"), "applied 1");  // its own announcement
        EXPECT_EQ(reader->Ask("await-stored " + key), "stored");
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(writer->Ask(writerCommand + " " + key + " new"),
                  writerCommand == "set" ? "set" : "changed");
        EXPECT_EQ(reader->Ask("await-applied 2"), "applied 2");
        const std::string after = reader->Ask("get " + key);
        EXPECT_EQ(after.substr(0, 8), "got new ") << after;

        auto lower = Start(0, DiskAndRedis(), "defaults");
        const std::string below = lower->Ask("get " + key);
        EXPECT_EQ(below.substr(0, 8), "got new ") << below;
    }
}

// A process whose clock is ten seconds behind announced a change with a timestamp older than
// this process's load: compared by timestamps, the change was older than the entry and kept
// nothing from being served. It is the arrival that counts. (The announcement is sent here by
// hand, with the slow clock's timestamp; the row changed before it.)
TEST_F(ReadThroughAcrossProcesses, AChangeFromAClockTenSecondsBehindWasIgnored) {
    Row("skewed", "old");
    auto reader = Start(100, "-", "defaults");
    EXPECT_EQ(reader->Ask("get skewed"), "got old loader -1");
    EXPECT_EQ(reader->Ask("await-applied 1"), "applied 1");
    Row("skewed", "new");
    const std::string name = "rows\nskewed";
    const std::string content = "new";
    const HashPair keyhash = THash128(name.data(), name.size(), 0);
    const HashPair hash = THash128(content.data(), content.size(), 0);
    const unsigned long long behind =
        (DateTime::UtcNow() - DateTimeSpan::FromMilliseconds(10000)).GetRepresentation();
    Server().Command({"PUBLISH",
                      FormatCoherenceChannel(TString::fromStdString(m_ns), keyhash).toStdString(),
                      FormatCoherenceMessage(hash, behind).toStdString()});
    EXPECT_EQ(reader->Ask("await-applied 2"), "applied 2");
    EXPECT_EQ(reader->Ask("get skewed"), "got new loader -1");
}

// Copies of a row stored in a disk directory and on Redis by one process are served while no
// change is known; once another process announces a change without touching the layers (Set
// with no layers of its own, or Invalidate), a process without memory no longer serves them.
// Nor does a process started after the change, with no live news of it: its service reads the
// change back from the stream at start-up, and that must keep it from serving the stored copies
// (those announcements were once let go at once, being recorded as having arrived at steady
// time 0).
TEST_F(ReadThroughAcrossProcesses, ChangesReadBackAtStartUpAreNotForgottenAtOnce) {
    {
        auto storer = Start(0, DiskAndRedis());
        StoreThenChange(*storer, {"set-row", "change-row", "set-late", "change-late"});
        EXPECT_EQ(storer->Ask("get set-row"), "got new loader -1");
        EXPECT_EQ(storer->Ask("get change-row"), "got new loader -1");
        const auto counters = Figures(storer->Ask("counters"));
        EXPECT_EQ(counters.at("rejected"), "4");  // both layers, both keys
        EXPECT_EQ(counters.at("loads"), "6");     // four before the change, two after
    }
    auto fresh = Start(0, DiskAndRedis());
    EXPECT_EQ(fresh->Ask("get set-late"), "got new loader -1");
    EXPECT_EQ(fresh->Ask("get change-late"), "got new loader -1");
    const auto counters = Figures(fresh->Ask("counters"));
    EXPECT_EQ(counters.at("rejected"), "4");
    EXPECT_EQ(counters.at("loads"), "2");
}

// A value found in a lower layer is stored in every layer above it, and a loaded value in
// every layer: processes that see only one of the layers find it there.
TEST_F(ReadThroughAcrossProcesses, LayersFillUpward) {
    Row("found-below", "v1");
    Row("loaded", "v2");
    auto redisOnly = Start(0, "redis");
    auto diskOnly = Start(0, DiskOnly());
    auto both = Start(100, DiskAndRedis());

    EXPECT_EQ(redisOnly->Ask("get found-below"), "got v1 loader -1");
    EXPECT_EQ(redisOnly->Ask("await-stored found-below"), "stored");
    EXPECT_EQ(both->Ask("get found-below"), "got v1 external 1");
    EXPECT_EQ(both->Ask("get found-below"), "got v1 memory -1");
    EXPECT_EQ(both->Ask("await-stored found-below"), "stored");
    EXPECT_EQ(diskOnly->Ask("get found-below"), "got v1 external 0");

    EXPECT_EQ(both->Ask("get loaded"), "got v2 loader -1");
    EXPECT_EQ(both->Ask("await-stored loaded"), "stored");
    EXPECT_EQ(diskOnly->Ask("get loaded"), "got v2 external 0");
    EXPECT_EQ(redisOnly->Ask("get loaded"), "got v2 external 0");

    EXPECT_EQ(Figures(both->Ask("counters")).at("layer-hits"), "0/1");
    EXPECT_EQ(Figures(diskOnly->Ask("counters")).at("loads"), "0");
    EXPECT_EQ(Figures(redisOnly->Ask("counters")).at("loads"), "1");
}

// Derived results in this process, computed from rows read through a read-through cache whose
// coherence service shares the server with the peers.
class DerivedResultsAcrossProcesses : public ReadThroughAcrossProcesses {
protected:
    void SetUp() override {
        ReadThroughAcrossProcesses::SetUp();
        m_holder.ResetForTest();
        m_holder.Initialize(
            {CascadeInvalidatorAggregator::TryGetSingleton(), nullptr, nullptr, nullptr});
        m_manager = std::make_unique<RedisSubscriptionManager>(Server().MakeConfig());
        m_service = RedisPubsub::CreateTestInstance(TString::fromStdString(m_ns), *m_manager);
        ASSERT_TRUE(m_manager->WaitUntilSubscribed(TString::fromStdString(m_ns + "*"), 10s));
        m_db = std::make_unique<RedisConnection>(Server().MakeConfig());
        ReadThroughOptions options;
        options.name = "rows";
        options.memoryEntries = 2;
        m_rows = std::make_unique<ReadThroughCache<std::string>>(
            options,
            ReadThroughCache<std::string>::Codec{
                [](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
                [](const unsigned char* data, std::size_t size) {
                    return std::make_shared<const std::string>(reinterpret_cast<const char*>(data),
                                                               size);
                }},
            m_service);
        m_derived = std::make_unique<DerivedResultCache<std::string>>(m_service);
    }
    void TearDown() override {
        m_derived.reset();
        m_rows.reset();
        m_service.reset();
        m_manager.reset();
        CascadeInvalidatorAggregator::TryGetSingleton()->ResetForTest();
        m_holder.ResetForTest();
        ReadThroughAcrossProcesses::TearDown();
    }

    std::string Read(const std::string& key) {
        return *m_rows->Get(key, [&] { return m_db->Command({"GET", "db:" + key}).text; }).value;
    }
    // The report: built from rows a and b.
    DerivedResultCache<std::string>::Result Report() {
        return m_derived->Get("report", [&] { return Read("a") + "+" + Read("b"); });
    }
    // Whether the service has applied `n` announcements (its own included) within 10 s.
    bool AppliedReaches(long long n) {
        for (const auto deadline = std::chrono::steady_clock::now() + 10s;
             m_service->GetHealth().applied < n; std::this_thread::sleep_for(2ms))
            if (std::chrono::steady_clock::now() > deadline) return false;
        return true;
    }

    // Before the service: the margin and cascade invalidation are read when it is made.
    veltest::HostScope m_host;
    ScopedOverride m_sync{"SyncCaches", true};
    ICascadeInvalidatorHolder& m_holder = CascadeInvalidatorHolderFactory::GetInstance();
    std::unique_ptr<RedisSubscriptionManager> m_manager;
    std::shared_ptr<RedisPubsub> m_service;
    std::unique_ptr<RedisConnection> m_db;
    std::unique_ptr<ReadThroughCache<std::string>> m_rows;
    std::unique_ptr<DerivedResultCache<std::string>> m_derived;
};

// A row changed and announced by another process makes the report built from it go; the next
// report sees the change.
TEST_F(DerivedResultsAcrossProcesses, AReportGoesWhenAnotherProcessChangesOneOfItsRows) {
    Row("a", "1");
    Row("b", "2");
    auto writer = Start(0, "-");
    ASSERT_TRUE(Report().kept);
    EXPECT_TRUE(Report().held);
    ASSERT_TRUE(AppliedReaches(2));  // this process's own announcements of rows a and b

    EXPECT_EQ(writer->Ask("change b 20"), "changed");
    ASSERT_TRUE(AppliedReaches(3));
    EXPECT_TRUE(m_derived->HeldValues().empty());
    EXPECT_EQ(m_derived->GetCounters().droppedDirty, 1);
    const auto rebuilt = Report();
    EXPECT_EQ(*rebuilt.value, "1+20");
    EXPECT_TRUE(rebuilt.kept);
}

// A part evicted from memory is still tracked by its evicted record; once the service lets that
// record go, nothing could tell the report the part went stale, and the report goes too.
TEST_F(DerivedResultsAcrossProcesses, AReportGoesWhenTheServicePrunesItsEvictedPart) {
    Row("a", "1");
    Row("b", "2");
    Row("c", "3");
    ASSERT_TRUE(Report().kept);
    Read("c");  // memory holds two rows: row a goes
    EXPECT_EQ(m_rows->GetCounters().evictions, 1);
    EXPECT_TRUE(Report().held) << "kept while the evicted record is";
    ASSERT_TRUE(AppliedReaches(3));  // the service is idle before its limits change

    m_service->TriggerPruneEvictedEntriesTestOnly(0, -1);
    EXPECT_TRUE(m_derived->HeldValues().empty());
    EXPECT_EQ(m_derived->GetCounters().droppedOnPrune, 1);
    EXPECT_EQ(*Report().value, "1+2");
}

}  // namespace
