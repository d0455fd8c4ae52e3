// ComparisonRun: the workload once per set-up (the database alone, cache-aside with lifetimes,
// then the library's caches) and the comparison's table; the library's set-up's exit code.
#include "baselines/ComparisonRun.h"

#include <cstdio>
#include <fstream>
#include <optional>

#include "baselines/Comparison.h"
#include "harness/Children.h"

namespace demo {

namespace {

double LoadAverage() {
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

}  // namespace

int RunComparison(const Options& options, RunPlace& place) {
    const long long ttlMs = options.CompareTtlSec() * 1000;
    const long long windowMs = 1000;
    const std::vector<std::pair<Setup, long long>> setups{
        {Setup::Database, 0},        {Setup::RedisTtl, ttlMs},    {Setup::LocalTtl, ttlMs},
        {Setup::RedisTtl, windowMs}, {Setup::LocalTtl, windowMs}, {Setup::Velcache, 0}};
    std::vector<ComparisonRow> rows;
    int code = 0;
    std::string velcacheJson;
    std::optional<Summary> velcacheSummary;
    RunFacts velcacheFacts;
    for (std::size_t i = 0; i < setups.size(); ++i) {
        const auto [setup, ttl] = setups[i];
        Say("set-up " + std::to_string(i + 1) + " of " + std::to_string(setups.size()) + ": " +
            SetupTitle(SetupName(setup)) +
            (ttl ? ", answers live " + std::to_string(ttl) + " ms" : ""));
        const double load = LoadAverage();
        const SetupRun run = RunSetup(options, place, setup, ttl ? ttl : ttlMs, i > 0);
        if (const int stopped = StoppedBySignal()) return stopped;
        rows.push_back(ComparisonRow::From(SetupName(setup), ttl, options.durationSec,
                                           options.processes, run.workers));
        rows.back().cpuSec = run.cpuSec;
        rows.back().loadAvg = load;
        if (setup == Setup::Velcache) {
            const Summary summary(run.facts, run.workers, run.writer);
            code = summary.ExitCode();
            velcacheJson = summary.Json();
            velcacheSummary = summary;
            velcacheFacts = run.facts;
        }
    }
    const Comparison comparison(std::move(rows), options.processes, options.memoryEntries);
    if (options.json)
        std::fputs(
            ("{\"comparison\": " + comparison.Json() + ", \"velcache\": " + velcacheJson + "}\n")
                .c_str(),
            stdout);
    else
        std::fputs(comparison.Table().c_str(), stdout);
    std::fflush(stdout);
    if (velcacheSummary && !WriteReport(options, velcacheFacts, *velcacheSummary, &comparison))
        return 2;
    return code;
}

}  // namespace demo
