#include "Roles.h"

#include <chrono>
#include <random>
#include <thread>

#include "ChangeRecorder.h"
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
    ChangeRecorder recorder(runner, catalogue);

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

        const ChangeRecorder::Update update = recorder.Apply(anyRow(random), delta(random));
        stats.Count("updates");

        std::vector<std::int64_t> announcedAt;
        for (const int qid : update.affected) {
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
        recorder.RecordAnnounced(update, announcedAt);
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
