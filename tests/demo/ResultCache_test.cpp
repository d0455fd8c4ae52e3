// The main job's answer path against a real SQLite database: the codec the caches store answers
// with, the workers' answers through the read-through and derived-result caches, and the
// writer's announcement of a change. One process, no coherence service: what crosses processes
// is the short run's part.
#include "host/ResultCache.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "SalesDbTest.h"
#include "baselines/Baselines.h"
#include "harness/Roles.h"
#include "velcore/AppOptions.h"
#include "velredis/RedisConnectionPool.h"
#include "velsupport/RedisServer.h"

namespace demo {
namespace {

class AnswerPath : public SalesDbTest {
protected:
    AnswerPath() : SalesDbTest(11) {
        m_loaders = std::make_unique<RunnerPool>(m_path, *m_catalogue, &m_outage);
    }

    // The caches of a worker with `memoryEntries` in memory, no lower layer and no service.
    void MakeCaches(int memoryEntries, const CacheFeatures& features = {}) {
        m_answerer.reset();
        m_derived = std::make_unique<DerivedResults>(nullptr);
        m_base = MakeBaseResults("test", memoryEntries, nullptr, nullptr, nullptr, features);
        m_answerer = std::make_unique<Answerer>(*m_base, *m_derived, *m_catalogue, *m_loaders,
                                                [](int, std::int64_t) {});
    }
    // A sales row of region 1 in month 3 (read by region-month:1:3 and region-share:1:3).
    std::int64_t RegionMonthRow() {
        Statement find(*m_db, "SELECT id FROM sales WHERE region_id = 1 AND month = 3 LIMIT 1");
        if (!find.Step()) throw std::logic_error("no such sales row");
        return find.Column(0);
    }

    // A query of the loads waits 20 ms during an outage before it fails.
    DatabaseOutage m_outage{std::chrono::milliseconds(20)};
    std::unique_ptr<RunnerPool> m_loaders;
    std::unique_ptr<BaseResults> m_base;
    std::unique_ptr<DerivedResults> m_derived;
    std::unique_ptr<Answerer> m_answerer;
};

// Equal bytes are what tells the coherence service that two processes hold the same answer: an
// answer computed twice, at different moments and on different connections, must encode alike.
// A lower layer returns what the codec made of an answer, versions and all.
TEST_F(AnswerPath, CodecGivesEqualBytesForEqualContentAndKeepsTheVersions) {
    const int qid = QueryId("region-month:1:3");
    const ResultPtr first = m_reader->Compute(qid);
    const ResultPtr again = m_writer->Compute(qid);
    EXPECT_EQ(first->Encode(), again->Encode());
    const std::vector<unsigned char> bytes = first->Encode();
    const BaseResults::Codec codec = ResultCodec();
    const BaseResults::ValuePtr decoded = codec.decode(bytes.data(), bytes.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, *first);

    // The freshness checker still tells which change a decoded answer missed.
    m_recorder->Apply(RegionMonthRow(), 1000);
    EXPECT_NE(m_reader->Compute(qid)->Encode(), bytes);
    EXPECT_EQ(m_checker->CheckServed(decoded, NowMs()),
              FreshnessChecker::Verdict::StaleWithinWindow);
    // Bytes of something else, or cut short, decode to nothing.
    EXPECT_FALSE(codec.decode(bytes.data(), bytes.size() - 1));
    const std::vector<unsigned char> text{'1', '2', '0'};
    EXPECT_FALSE(codec.decode(text.data(), text.size()));
}

// A worker with its memory layer switched off answers everything from below and keeps no
// derived answer: no part has an entry that could tell it of a change.
TEST_F(AnswerPath, WithoutMemoryEveryAnswerIsLoadedAndNoDerivedAnswerIsKept) {
    velmora::appoptions::ScopedOverride syncCaches(TString("SyncCaches"), true);
    MakeCaches(0);
    const int qid = QueryId("region-month:1:3");
    EXPECT_EQ(m_answerer->Get(qid).layer, Layer::Sqlite);
    EXPECT_EQ(m_answerer->Get(qid).layer, Layer::Sqlite);
    const int share = QueryId("region-share:1:3");
    EXPECT_EQ(m_answerer->Get(share).result->rows, m_reader->Compute(share)->rows);
    EXPECT_EQ(m_answerer->Get(share).layer, Layer::Sqlite);
    EXPECT_EQ(m_derived->GetCounters().notKept, 2);
    EXPECT_TRUE(m_base->HeldValues().empty());
    EXPECT_TRUE(m_derived->HeldValues().empty());
}

// The writer sets the new answer under the key the workers read: the answer held before the
// change is replaced by the fresh one, which the checker finds fresh.
TEST_F(AnswerPath, WritersAnnouncementReplacesTheAnswerHeldUnderTheQuerysKey) {
    MakeCaches(200);
    const int qid = QueryId("region-month:1:3");
    const ResultPtr before = m_answerer->Get(qid).result;
    const ChangeRecorder::Update update = m_recorder->Apply(RegionMonthRow(), 1000);
    const std::vector<std::int64_t> announcedAt =
        AnnounceChange(*m_base, *m_writer, *m_catalogue, update);
    EXPECT_EQ(announcedAt.size(), update.affected.size());

    const Answerer::Answer after = m_answerer->Get(qid);
    EXPECT_EQ(after.layer, Layer::Memory);
    EXPECT_NE(after.result->rows, before->rows);
    EXPECT_EQ(m_checker->CheckServed(after.result, NowMs()), FreshnessChecker::Verdict::Fresh);
    EXPECT_EQ(m_base->GetCounters().loads, 1);
}

// The tags of a changed row name exactly the base queries the row affects, whatever cell it sits
// in: a writer that invalidates them drops every answer that read the row and no other.
TEST_F(AnswerPath, RowTagsSelectExactlyTheQueriesARowAffects) {
    Statement cells(*m_db, "SELECT DISTINCT region_id, product_id, month FROM sales LIMIT 60");
    int checked = 0;
    while (cells.Step()) {
        const SalesCell cell{static_cast<int>(cells.Column(0)), static_cast<int>(cells.Column(1)),
                             static_cast<int>(cells.Column(2))};
        const std::vector<std::string> rowTags = m_catalogue->RowTags(cell);
        std::vector<int> tagged;
        for (const Query& q : m_catalogue->All())
            for (const std::string& tag : m_catalogue->TagsOf(q.id))
                if (std::find(rowTags.begin(), rowTags.end(), tag) != rowTags.end())
                    tagged.push_back(q.id);
        EXPECT_EQ(tagged, m_catalogue->AffectedBaseQueries(cell))
            << cell.region << "/" << cell.product << "/" << cell.month;
        ++checked;
    }
    EXPECT_GT(checked, 10);

    CacheFeatures features;
    features.tags = velmora::caching::TagInvalidations::InProcess();
    MakeCaches(200, features);
    const int qid = QueryId("region-month:1:3");
    const int other = QueryId("region-month:2:3");
    const ResultPtr before = m_answerer->Get(qid).result;
    m_answerer->Get(other);
    const ChangeRecorder::Update update = m_recorder->Apply(RegionMonthRow(), 1000);
    EXPECT_EQ(AnnounceChangeByTags(*features.tags, *m_catalogue, update).size(),
              update.affected.size());
    EXPECT_EQ(m_answerer->Get(other).layer, Layer::Memory);
    const Answerer::Answer after = m_answerer->Get(qid);
    EXPECT_EQ(after.layer, Layer::Sqlite);
    EXPECT_NE(after.result->rows, before->rows);
    EXPECT_EQ(m_checker->CheckServed(after.result, NowMs()), FreshnessChecker::Verdict::Fresh);
}

// During an outage a load fails. Without fail-safe the caller sees the failure, and the answerer
// says whether the key had been answered before; with it, the last good answer stands in,
// marked stale, and it is the database's current answer when nothing changed.
TEST_F(AnswerPath, LoadFailingInAnOutageRaisesOrIsAnsweredByTheLastGoodAnswer) {
    const int qid = QueryId("region-month:1:3");
    const int never = QueryId("top-products:2:0");
    for (const bool failSafe : {false, true}) {
        SCOPED_TRACE(failSafe ? "fail-safe" : "no fail-safe");
        CacheFeatures features;
        features.failSafe = failSafe;
        features.softTimeoutMs = 0;  // the outage fails loads; none is merely slow here
        MakeCaches(0, features);     // no memory: every Get loads
        const ResultPtr good = m_answerer->Get(qid).result;
        m_outage.Begin();
        if (failSafe) {
            const Answerer::Answer answer = m_answerer->Get(qid);
            EXPECT_TRUE(answer.stale);
            EXPECT_EQ(answer.result->rows, good->rows);
            EXPECT_EQ(m_checker->CheckServed(answer.result, NowMs()),
                      FreshnessChecker::Verdict::Fresh);
        } else {
            EXPECT_THROW(m_answerer->Get(qid), std::runtime_error);
            EXPECT_TRUE(m_answerer->LastFailureHadAnswer());
        }
        EXPECT_THROW(m_answerer->Get(never), std::runtime_error);
        EXPECT_FALSE(m_answerer->LastFailureHadAnswer());
        m_outage.End();
        if (!failSafe) {  // (with it, the failed key is not loaded again for a while)
            const Answerer::Answer after = m_answerer->Get(qid);
            EXPECT_EQ(after.layer, Layer::Sqlite);
            EXPECT_FALSE(after.stale);
        }
    }
}

// A derived answer built from a fail-safe part is stale itself (so the worker checks it).
TEST_F(AnswerPath, DerivedAnswerWithAFailSafePartIsMarkedStale) {
    velmora::appoptions::ScopedOverride syncCaches(TString("SyncCaches"), true);
    CacheFeatures features;
    features.failSafe = true;
    features.softTimeoutMs = 0;
    MakeCaches(0, features);
    const int share = QueryId("region-share:1:3");
    m_answerer->Get(share);
    m_outage.Begin();
    const Answerer::Answer during = m_answerer->Get(share);
    m_outage.End();
    EXPECT_TRUE(during.stale);
    EXPECT_EQ(during.result->rows, m_reader->Compute(share)->rows);
}

// Loads may run on the cache's threads beside the caller's: each borrows a connection that no
// other load holds, and connections are used again once given back.
TEST_F(AnswerPath, RunnerPoolLendsEachConcurrentLoadAConnectionOfItsOwn) {
    const int qid = QueryId("region-month:1:3");
    {
        RunnerPool::Lease first = m_loaders->Acquire();
        RunnerPool::Lease second = m_loaders->Acquire();
        EXPECT_NE(&first->Db(), &second->Db());
        ResultPtr fromOther;
        std::thread other([&] { fromOther = second->Compute(qid); });
        const ResultPtr fromHere = first->Compute(qid);
        other.join();
        EXPECT_EQ(fromHere->rows, fromOther->rows);
    }
    { RunnerPool::Lease again = m_loaders->Acquire(); }
    EXPECT_EQ(m_loaders->Opened(), 2u);
}

// The pool kept every runner it ever opened, three descriptors each: a burst of loads during a
// fault left a worker's descriptors higher for the rest of its life.
TEST_F(AnswerPath, RunnerPoolKeptAConnectionForEveryLoadThatEverRanAtOnce) {
    const int qid = QueryId("region-month:1:3");
    const auto burst = [&](std::size_t loads) {
        std::vector<std::unique_ptr<RunnerPool::Lease>> leases;  // a lease does not move
        for (std::size_t i = 0; i < loads; ++i)
            leases.emplace_back(new RunnerPool::Lease(m_loaders->Acquire()));
        for (auto& lease : leases) EXPECT_NE((*lease)->Compute(qid), nullptr);
    };
    burst(3 * RunnerPool::kKeptIdle);
    EXPECT_EQ(m_loaders->Idle(), RunnerPool::kKeptIdle);
    const std::size_t opened = m_loaders->Opened();
    burst(RunnerPool::kKeptIdle);  // served by the runners kept
    EXPECT_EQ(m_loaders->Opened(), opened);
    EXPECT_EQ(m_loaders->Idle(), RunnerPool::kKeptIdle);
}

// The in-process cache a comparison measures against: its copy serves, changed or not, until
// its time to live passes, and the least recently used copy leaves when it is full.
TEST_F(AnswerPath, TtlCacheServesItsCopyAfterAChangeAndEvictsTheLeastRecentlyUsed) {
    const int a = QueryId("region-month:1:3"), b = QueryId("top-products:2:0");
    const int c = QueryId("region-share:1:3");
    LocalTtlCache cache(*m_loaders, 2, std::chrono::minutes(10));
    const ResultPtr first = cache.Get(a).result;
    EXPECT_EQ(cache.Get(a).layer, Layer::Memory);
    m_recorder->Apply(RegionMonthRow(), 1000);
    const AnswerSource::Answer kept = cache.Get(a);
    EXPECT_EQ(kept.layer, Layer::Memory);
    EXPECT_EQ(kept.result, first);
    EXPECT_EQ(m_checker->CheckServed(kept.result, NowMs()),
              FreshnessChecker::Verdict::StaleWithinWindow);
    // a was used after b: c pushes b out.
    EXPECT_EQ(cache.Get(b).layer, Layer::Sqlite);
    EXPECT_EQ(cache.Get(a).layer, Layer::Memory);
    EXPECT_EQ(cache.Get(c).layer, Layer::Sqlite);  // derived answers are kept whole
    EXPECT_EQ(cache.Size(), 2u);
    EXPECT_EQ(cache.Get(b).layer, Layer::Sqlite);
    EXPECT_EQ(cache.Get(c).layer, Layer::Memory);
    // Nothing is kept with no room or no time to live.
    LocalTtlCache none(*m_loaders, 0, std::chrono::minutes(10));
    LocalTtlCache expired(*m_loaders, 2, std::chrono::milliseconds(0));
    for (LocalTtlCache* source : {&none, &expired}) {
        EXPECT_EQ(source->Get(a).layer, Layer::Sqlite);
        EXPECT_EQ(source->Get(a).layer, Layer::Sqlite);
    }
    const std::int64_t before = m_loaders->Leases();
    DatabaseOnly database(*m_loaders);
    EXPECT_EQ(database.Get(a).result->rows, m_reader->Compute(a)->rows);
    EXPECT_EQ(m_loaders->Leases(), before + 1);
}

// The Redis cache-aside a comparison measures against, on a real server: a miss loads and
// stores with the expiry, a hit decodes what was stored, and no change reaches it.
TEST_F(AnswerPath, RedisCacheAsideStoresWithItsExpiryAndServesItsCopyAfterAChange) {
    velsupport::RedisServer server;
    ASSERT_EQ(server.Start(), "");
    velmora::caching::RedisEndpointConfig endpoint;
    endpoint.host = "127.0.0.1";
    endpoint.port = server.Port();
    const int a = QueryId("region-month:1:3");
    RedisTtlCache cache(*m_loaders, *m_catalogue,
                        std::make_unique<velmora::caching::RedisConnection>(endpoint),
                        "t:", std::chrono::minutes(10));
    const AnswerSource::Answer loaded = cache.Get(a);
    EXPECT_EQ(loaded.layer, Layer::Sqlite);
    const auto pttl = server.Command({"PTTL", "t:region-month:1:3"});
    EXPECT_GT(pttl.integer, 0);
    EXPECT_LE(pttl.integer, 600'000);
    m_recorder->Apply(RegionMonthRow(), 1000);
    const AnswerSource::Answer hit = cache.Get(a);
    EXPECT_EQ(hit.layer, Layer::Redis);
    EXPECT_EQ(*hit.result, *loaded.result);
    EXPECT_EQ(m_checker->CheckServed(hit.result, NowMs()),
              FreshnessChecker::Verdict::StaleWithinWindow);
    // Bytes that are not an answer are a miss, replaced by a fresh load.
    server.Command({"SET", "t:region-month:1:3", "junk"});
    const AnswerSource::Answer reloaded = cache.Get(a);
    EXPECT_EQ(reloaded.layer, Layer::Sqlite);
    EXPECT_EQ(m_checker->CheckServed(reloaded.result, NowMs()), FreshnessChecker::Verdict::Fresh);
    server.Stop();
    EXPECT_ANY_THROW(cache.Get(a));
}

// --db must not cost anyone a file: only what the generator wrote itself may be replaced.
TEST_F(AnswerPath, GeneratorReplacesOnlyADatabaseItWroteItself) {
    std::string why;
    EXPECT_TRUE(DataGenerator::MayReplace(m_path, why)) << why;
    EXPECT_TRUE(DataGenerator::MayReplace((m_dir / "new.db").string(), why));
    const std::string theirs = (m_dir / "theirs.db").string();
    { Database(theirs).Exec("CREATE TABLE accounts(id INTEGER); INSERT INTO accounts VALUES(7)"); }
    const std::string text = (m_dir / "notes.txt").string();
    std::ofstream(text) << "my notes";
    for (const std::string& path : {theirs, text, m_dir.string()}) {
        SCOPED_TRACE(path);
        const std::uintmax_t size =
            std::filesystem::is_regular_file(path) ? std::filesystem::file_size(path) : 0;
        EXPECT_FALSE(DataGenerator::MayReplace(path, why));
        EXPECT_FALSE(why.empty());
        EXPECT_THROW(DataGenerator({}, 1).Write(path), std::runtime_error);
        if (std::filesystem::is_regular_file(path)) {
            EXPECT_EQ(std::filesystem::file_size(path), size);
        }
    }
    Database db(theirs);
    Statement row(db, "SELECT id FROM accounts");
    ASSERT_TRUE(row.Step());
    EXPECT_EQ(row.Column(0), 7);
}

}  // namespace
}  // namespace demo
