// Sampling: the workers' figures second by second, the progress line on standard error, and the
// facts of a run once it is over.
#include "harness/Sampling.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "report/Report.h"

namespace demo {

namespace {

// One line of live figures, from the difference between two moments.
std::string ProgressLine(double elapsed, const Stats& now, const Stats& before, double interval,
                         const Stats& writer) {
    const auto delta = [&](const std::string& name) {
        return static_cast<double>(now.Get(name) - before.Get(name));
    };
    const double queries = delta("queries");
    const auto ratio = [&](const char* layer) {
        return queries > 0 ? 100 * delta(std::string("layer.") + layer) / queries : 0.0;
    };
    char line[256];
    std::snprintf(line, sizeof line,
                  "[%5.1fs] %7.0f queries/s | memory %5.1f%% disk %4.1f%% redis %4.1f%% sqlite "
                  "%4.1f%% | %5.0f invalidations/s | %lld updates | stale>1s %lld | fail-safe "
                  "%.0f errors %.0f",
                  elapsed, queries / interval, ratio("memory"), ratio("disk"), ratio("redis"),
                  ratio("sqlite"), delta("rt.invalidations") / interval,
                  static_cast<long long>(writer.Get("updates")),
                  static_cast<long long>(now.Get("check.stale-beyond-window")),
                  delta("stale-answers"), delta("caller-errors"));
    return line;
}

}  // namespace

void SampleSecond(const std::vector<Child>& children, RunFacts& facts, Histogram& latencyBefore) {
    facts.workersEachSecond.push_back(ChartedSecond(Sum(children, "worker"), latencyBefore));
    std::int64_t p50 = -1, p99 = -1;
    for (const Child& c : children)
        if (c.role == "worker") {
            p50 = std::max(p50, c.latest.Get("gauge.health.lag-p50-ms"));
            p99 = std::max(p99, c.latest.Get("gauge.health.lag-p99-ms"));
        }
    facts.lagP50MsEachSecond.push_back(p50);
    facts.lagP99MsEachSecond.push_back(p99);
}

void BoundTimeline(RunFacts& facts, std::size_t maxPoints) {
    const std::size_t points = facts.workersEachSecond.size();
    // An odd point out would cover half a new point's time: wait for its pair.
    if (points < std::max<std::size_t>(maxPoints, 2) || points % 2) return;
    const std::size_t pairs = points / 2;
    for (std::size_t i = 0; i < pairs; ++i) {
        facts.workersEachSecond[i] = std::move(facts.workersEachSecond[2 * i + 1]);
        facts.answersPerSecond[i] =
            facts.answersPerSecond[2 * i] + facts.answersPerSecond[2 * i + 1];
        facts.lagP50MsEachSecond[i] =
            std::max(facts.lagP50MsEachSecond[2 * i], facts.lagP50MsEachSecond[2 * i + 1]);
        facts.lagP99MsEachSecond[i] =
            std::max(facts.lagP99MsEachSecond[2 * i], facts.lagP99MsEachSecond[2 * i + 1]);
    }
    for (auto* list :
         {&facts.answersPerSecond, &facts.lagP50MsEachSecond, &facts.lagP99MsEachSecond})
        list->resize(pairs);
    facts.workersEachSecond.resize(pairs);
    facts.secondsPerPoint *= 2;
}

ProgressPrinter::ProgressPrinter(Clock::time_point start)
    : m_start(start),
      m_live(::isatty(2)),
      m_next(start + std::chrono::seconds(1)),
      m_beforeAt(start) {}

void ProgressPrinter::Step(Clock::time_point now, const std::vector<Child>& children) {
    if (now < m_next) return;
    const Stats workers = Sum(children, "worker");
    const std::string line = ProgressLine(Seconds(now - m_start), workers, m_before,
                                          Seconds(now - m_beforeAt), Sum(children, "writer"));
    std::fprintf(stderr, m_live ? "\r%s" : "%s\n", line.c_str());
    m_before = workers;
    m_beforeAt = now;
    m_next += std::chrono::seconds(m_live ? 1 : 2);
}

void ProgressPrinter::Finish() const {
    if (m_live) std::fprintf(stderr, "\n");
}

void NoteOutcome(const Options& options, const std::vector<Child>& children, RunFacts& facts) {
    facts.processes = options.processes;
    facts.memoryEntries = options.memoryEntries;
    facts.durationSec = options.durationSec;
    facts.seed = options.seed;
    facts.salesRows = options.salesRows;
    facts.dbPath = options.db.empty() ? "(temporary, removed)" : options.db;
    facts.chaos = options.chaos;
    facts.leases = options.leases;
    facts.audit = options.audit;
    facts.failSafe = options.failSafe;
    facts.skipKnownFills = !options.publishEveryFill;
    facts.valueLifetimeSec = options.ValueLifetimeSec();
    for (const Child& c : children)
        if (c.role == "worker") {
            facts.receivedPerWorker.push_back(c.latest.Get("health.received"));
            facts.settleStalePerWorker.push_back(c.latest.Get("settle.stale"));
            facts.warningsPerWorker.push_back(LibraryWarnings(c.latest));
            facts.failedExternalPerWorker.push_back(FailedExternalOperations(c.latest));
        }
    for (const Child& c : children) facts.allReported = facts.allReported && c.done;
}

}  // namespace demo
