// The follower of a run on PostgreSQL: reads the database's commit log and announces each sales
// row's change by the tags the workers' answers carry (QueryCatalogue::RowTags), as the writer
// does itself on SQLite. It holds no cache.
#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "follow/CommitLogFollower.h"
#include "harness/Roles.h"

namespace demo {

namespace {

using velmora::caching::RowChange;

// The column `name` of a row, as a number; raises UnrenderableRow when the row does not carry it.
int Column(const RowChange& change, const std::vector<velmora::caching::ColumnValue>& row,
           const std::string& name) {
    const auto& columns = change.table->columns;
    const auto at = std::find(columns.begin(), columns.end(), name);
    const std::size_t i = static_cast<std::size_t>(at - columns.begin());
    if (at == columns.end() || i >= row.size() ||
        row[i].state != velmora::caching::ColumnValue::State::Text)
        throw velmora::caching::UnrenderableRow("sales row without " + name);
    return std::stoi(row[i].text);
}

// The tags of the answers that read the row before and after the change.
velmora::caching::TagMapping SalesTags(const QueryCatalogue& catalogue) {
    return [&catalogue](const RowChange& change) {
        std::vector<std::string> tags;
        if (change.table->name != "sales") return tags;
        for (const auto* row : {&change.oldRow, &change.newRow}) {
            if (row->empty()) continue;
            const SalesCell cell{Column(change, *row, "region_id"),
                                 Column(change, *row, "product_id"), Column(change, *row, "month")};
            for (std::string& tag : catalogue.RowTags(cell)) tags.push_back(std::move(tag));
        }
        if (change.kind == RowChange::Kind::Truncate) tags.push_back("sales");
        return tags;
    };
}

}  // namespace

void RunFollower(const ChildConfig& config, DemoHost& host, ParentLink& parent,
                 const QueryCatalogue& catalogue) {
    velmora::caching::CommitLogFollowerOptions options;
    options.conninfo = config.dbPath;
    options.tables = {"sales"};
    options.mapping = SalesTags(catalogue);
    options.retryPause = std::chrono::milliseconds(100);
    velmora::caching::CommitLogFollower follower(options, host.Tags());
    Stats stats;
    const auto note = [&] {
        const auto c = follower.GetCounters();
        if (c.transactions > stats.Get("follower.transactions"))
            stats.histograms["latency.follower-lag"].Add(
                static_cast<std::int64_t>(c.lastLagMs * 1e6));
        stats.counters["follower.transactions"] = c.transactions;
        stats.counters["follower.changes"] = c.changes;
        stats.counters["follower.announced"] = c.announced;
        stats.counters["follower.retries"] = c.retries;
        stats.counters["follower.reconnects"] = c.reconnects;
        stats.counters["follower.gaps"] = c.gaps;
    };
    parent.Report("ready", stats);
    parent.WaitFor("go");
    // Follows until the workers settle (the writer has stopped by then), and then until the log
    // has been quiet for a second: the writer's last changes reach the workers as they compare.
    using Clock = std::chrono::steady_clock;
    auto nextReport = Clock::now();
    std::optional<Clock::time_point> quietSince;
    std::int64_t seen = -1;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        note();
        const auto now = Clock::now();
        if (now >= nextReport) {
            parent.Report("progress", stats);
            nextReport += std::chrono::milliseconds(500);
        }
        if (!parent.Received("settle")) continue;
        if (stats.Get("follower.transactions") != seen) {
            seen = stats.Get("follower.transactions");
            quietSince = now;
        } else if (now - *quietSince >= std::chrono::seconds(1)) {
            break;
        }
    }
    parent.Report("final", stats);
}

}  // namespace demo
