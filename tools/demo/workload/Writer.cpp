#include "Roles.h"

#include <chrono>
#include <random>
#include <thread>

#include "QueryRunner.h"
#include "utility/SynchronizedIndexedCache.h"

using namespace velmora::caching;
using Clock = std::chrono::steady_clock;

namespace demo {

namespace {

std::vector<unsigned int> Ids(const CacheHelpers::EntrySet& entries) {
    std::vector<unsigned int> ids;
    for (const auto& e : entries) ids.push_back(e.GetID());
    return ids;
}

}  // namespace

void RunWriter(DemoHost& host, const QueryCatalogue& catalogue) {
    const ChildConfig& config = host.Config();
    Stats stats;
    QueryRunner runner(config.dbPath, catalogue);
    SqliteDb& db = runner.Db();
    SqliteStatement rowCount(db, "SELECT MAX(id) FROM sales");
    rowCount.Step();
    const std::int64_t rows = rowCount.Column(0);
    SqliteStatement readRow(db,
                            "SELECT region_id, product_id, month, amount FROM sales WHERE id = ?1");
    SqliteStatement updateRow(db, "UPDATE sales SET amount = ?2 WHERE id = ?1");
    SqliteStatement bumpVersion(db,
                                "INSERT INTO query_versions(qid, version) VALUES(?1, 1)"
                                " ON CONFLICT(qid) DO UPDATE SET version = version + 1"
                                " RETURNING version");
    SqliteStatement recordChange(
        db, "INSERT INTO changes(qid, version, committed_at) VALUES(?1, ?2, ?3)");
    SqliteStatement recordAnnouncement(
        db, "UPDATE changes SET announced_at = ?3 WHERE qid = ?1 AND version = ?2");

    // The writer's own cache of the answers it announces; its older entries are dropped by its
    // own announcements like anyone else's.
    auto cache = std::make_shared<SynchronizedIndexedCache>(
        std::make_shared<CacheHelpers::MRUPolicy>(500), CacheHelpers::CreateSystemClock());
    const std::shared_ptr<RedisPubsub> service = host.Service();

    std::mt19937_64 random(config.seed ^ 0x5eed5eedULL);
    std::uniform_int_distribution<std::int64_t> anyRow(1, rows);
    std::uniform_int_distribution<std::int64_t> delta(1, 5000);
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / config.updatesPerSecond));

    host.AddHostCounts(stats);
    host.Report("ready", stats);
    host.WaitFor("go");
    auto next = Clock::now();
    while (!host.Received("stop")) {
        std::this_thread::sleep_until(next);
        next += interval;
        const auto start = Clock::now();

        const std::int64_t id = anyRow(random);
        readRow.Bind(1, id);
        readRow.Step();
        const SalesCell cell{static_cast<int>(readRow.Column(0)),
                             static_cast<int>(readRow.Column(1)),
                             static_cast<int>(readRow.Column(2))};
        const std::int64_t amount = readRow.Column(3) + delta(random);
        readRow.Reset();
        const std::vector<int> affected = catalogue.AffectedBaseQueries(cell);
        std::vector<std::int64_t> versions;

        db.Exec("BEGIN IMMEDIATE");
        updateRow.Bind(1, id);
        updateRow.Bind(2, amount);
        updateRow.Step();
        updateRow.Reset();
        const std::int64_t committedAt = NowMs();
        for (const int qid : affected) {
            bumpVersion.Bind(1, qid);
            bumpVersion.Step();
            versions.push_back(bumpVersion.Column(0));
            while (bumpVersion.Step()) {
            }
            bumpVersion.Reset();
            recordChange.Bind(1, qid);
            recordChange.Bind(2, versions.back());
            recordChange.Bind(3, committedAt);
            recordChange.Step();
            recordChange.Reset();
        }
        db.Exec("COMMIT");
        stats.Count("updates");

        std::vector<std::int64_t> announcedAt;
        for (const int qid : affected) {
            const auto computeStart = Clock::now();
            const ResultPtr result = runner.Compute(qid);  // produced after the commit
            const auto loadMs = static_cast<unsigned int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - computeStart)
                    .count());
            const Query& query = catalogue.Get(qid);
            host.Redis()->TryStore(host.ExternalKey(query, result->versions[0].second),
                                   std::make_shared<ExternalBytes>(result->Serialize()), loadMs,
                                   -1);
            const unsigned int guid =
                cache->AddEntry(CacheHelpers::Payload(new ResultData(result)));
            service->OnAdded(host.KeyHash(query), result->DataHash(), result->timestamp, guid,
                             cache);
            announcedAt.push_back(NowMs());
            const auto evicted = cache->Purge();
            if (!evicted.empty()) service->OnRemoved(Ids(evicted), cache);
        }
        db.Exec("BEGIN IMMEDIATE");
        for (std::size_t i = 0; i < affected.size(); ++i) {
            recordAnnouncement.Bind(1, affected[i]);
            recordAnnouncement.Bind(2, versions[i]);
            recordAnnouncement.Bind(3, announcedAt[i]);
            recordAnnouncement.Step();
            recordAnnouncement.Reset();
        }
        db.Exec("COMMIT");
        stats.histograms["latency.writer-update"].Add(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
        host.AddHostCounts(stats);
        host.Report("progress", stats);
    }
    service->OnRemoved(*cache);
    host.AddHostCounts(stats);
    host.Report("final", stats);
}

}  // namespace demo
