#include "harness/Roles.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <random>
#include <thread>

#include "data/QueryRunner.h"
#include "host/ResultCache.h"
#include "judge/ChangeRecorder.h"
#include "judge/History.h"

using Clock = std::chrono::steady_clock;

namespace demo {

std::vector<std::int64_t> AnnounceChange(BaseResults& cache, QueryRunner& runner,
                                         const QueryCatalogue& catalogue,
                                         const ChangeRecorder::Update& update) {
    std::vector<std::int64_t> announcedAt;
    for (const int qid : update.affected) {
        // Computed after the commit: the content every process will load from now on.
        cache.Set(catalogue.Get(qid).key, runner.Compute(qid));
        announcedAt.push_back(NowMs());
    }
    return announcedAt;
}

std::vector<std::int64_t> AnnounceChangeByTags(velmora::caching::TagInvalidations& tags,
                                               const QueryCatalogue& catalogue,
                                               const ChangeRecorder::Update& update) {
    tags.Invalidate(catalogue.RowTags(update.cell));
    return std::vector<std::int64_t>(update.affected.size(), NowMs());
}

namespace {

// Follows the parent's commands: "herd" drops the answers of `hottest` everywhere at once (each
// invalidation is announced as a change), counted in `invalidated`; "outage-begin" and
// "outage-end" set `outage`. The listener runs on the thread that hears the command.
void ListenToParent(ParentLink& parent, BaseResults& cache, const QueryCatalogue& catalogue,
                    const std::vector<int>& hottest, std::atomic<std::int64_t>& invalidated,
                    std::atomic<bool>& outage) {
    parent.SetCommandListener([&](const std::string& command) {
        if (command == "outage-begin") outage = true;
        if (command == "outage-end") outage = false;
        if (command != "herd") return;
        for (const int qid : hottest) cache.Invalidate(catalogue.Get(qid).key);
        invalidated += static_cast<std::int64_t>(hottest.size());
    });
}

// Writes each version `update` committed to the history, stamped now: a moment no earlier
// than the commit.
void RecordCommit(HistoryLog& history, const ChangeRecorder::Update& update) {
    if (!history.On()) return;
    const std::int64_t committedNs = RealtimeNs();
    for (std::size_t i = 0; i < update.affected.size(); ++i)
        history.Write(update.affected[i], update.versions[i], committedNs);
}

// The writer answers no query: its cache keeps nothing in memory and only announces and writes
// through. It stands for a process on another machine, so it shares Redis with the workers but
// not their disk cache (whose older copies the announcements keep from being served).
std::unique_ptr<BaseResults> WriterCache(const ChildConfig& config, DemoHost& host) {
    CacheFeatures features;
    features.valueLifetimeSec = config.valueLifetimeSec;
    features.tags = host.Tags();
    return MakeBaseResults(config.runId, 0, nullptr, host.Redis(), host.Service(), features);
}

// Announces `update` as the run asks: by the changed row's tags, or by the affected queries' keys.
std::vector<std::int64_t> Announce(const ChildConfig& config, DemoHost& host, BaseResults& cache,
                                   QueryRunner& runner, const QueryCatalogue& catalogue,
                                   const ChangeRecorder::Update& update) {
    if (config.announceKeys || !host.Tags())
        return AnnounceChange(cache, runner, catalogue, update);
    return AnnounceChangeByTags(*host.Tags(), catalogue, update);
}

// One update, counted; nothing when the database failed it (restarted under it: a chaos run on
// PostgreSQL), and then nothing was committed.
std::optional<ChangeRecorder::Update> TryApply(ChangeRecorder& recorder, std::int64_t row,
                                               std::int64_t delta, Stats& stats) {
    try {
        ChangeRecorder::Update update = recorder.Apply(row, delta);
        stats.Count("updates");
        return update;
    } catch (const std::exception&) {
        stats.Count("updates.not-committed");
        return std::nullopt;
    }
}

}  // namespace

void RunWriter(const ChildConfig& config, DemoHost& host, ParentLink& parent,
               const QueryCatalogue& catalogue) {
    Stats stats;
    QueryRunner runner(config.dbPath, catalogue);
    ChangeRecorder recorder(runner, catalogue);
    const std::int64_t rows = recorder.SalesRows();
    HistoryLog history(config.historyPath);

    const std::unique_ptr<BaseResults> cache = WriterCache(config, host);

    // The herd drops the hottest base queries' answers in one burst, not at the next update.
    const std::vector<int> hottest = HottestBaseQueries(catalogue, config.seed, kHerdKeys);
    std::atomic<std::int64_t> invalidated{0};
    std::atomic<bool> outage{false};
    ListenToParent(parent, *cache, catalogue, hottest, invalidated, outage);

    std::mt19937_64 random(config.seed ^ 0x5eed5eedULL);
    std::uniform_int_distribution<std::int64_t> anyRow(1, rows);
    std::uniform_int_distribution<std::int64_t> delta(1, 5000);
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / config.updatesPerSecond));

    AddHostCounts(host, stats);
    parent.Report("ready", stats);
    parent.WaitFor("go");
    auto next = Clock::now();
    while (!parent.Received("stop")) {
        std::this_thread::sleep_until(next);
        next += interval;
        const auto start = Clock::now();
        if (outage) {
            stats.Count("updates.not-committed");  // the database is unusable
            continue;
        }

        const std::optional<ChangeRecorder::Update> applied =
            TryApply(recorder, anyRow(random), delta(random), stats);
        if (!applied) continue;
        const ChangeRecorder::Update& update = *applied;
        // Stamped after the commit, so that no read is blamed for a version not there yet.
        RecordCommit(history, update);

        // The set-ups a comparison measures the library against hear of no change.
        if (config.setup == "velcache" && !config.silentWriter)
            recorder.RecordAnnounced(update,
                                     Announce(config, host, *cache, runner, catalogue, update));
        stats.histograms["latency.writer-update"].Add(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
        stats.counters["herd.invalidated"] = invalidated;
        AddHostCounts(host, stats);
        parent.Report("progress", stats);
    }
    parent.SetCommandListener({});
    stats.counters["herd.invalidated"] = invalidated;
    AddHostCounts(host, stats);
    parent.Report("final", stats);
}

}  // namespace demo
