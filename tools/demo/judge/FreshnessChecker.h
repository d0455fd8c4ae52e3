// judge/: how a run knows its answers were fresh: the writer's record of every change, the
// freshness checks against the database, and the run's history for a later audit.

// FreshnessChecker: compares answers a worker served from a cache with the database. An answer
// is stale when its rows differ from the database's; its staleness dates from the commit of the
// earliest change after which the rows of the base queries it was computed from, combined as
// the query combines them, stopped equalling the answer's rows (versions that left them equal
// do not count). It is stale within the propagation window while that commit is at most
// `windowMs` old, and stale beyond the window after that, or when no recorded change explains
// the difference. At the end, every answer a worker still holds is compared the same way (after
// settling, any difference counts).
// Not thread-safe: use from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data/QueryRunner.h"
#include "harness/Stats.h"

namespace demo {

class FreshnessChecker {
public:
    FreshnessChecker(QueryRunner& runner, Stats& stats, std::int64_t windowMs)
        : m_runner(runner), m_stats(stats), m_windowMs(windowMs) {}

    enum class Verdict { Fresh, StaleWithinWindow, StaleBeyondWindow };
    // Judges `served`, answered at `answeredAtMs` (NowMs): how long before that moment the
    // change that made it stale committed (the check's own reads of the database come later
    // and do not count). Counts "check.fresh", "check.stale-within-window" or
    // "check.stale-beyond-window". A finding beyond the window ends with `circumstances`: what
    // the answering process knew then (its layer, its coherence state, a fault under way).
    Verdict CheckServed(const ResultPtr& served, std::int64_t answeredAtMs,
                        const std::string& circumstances = "");
    // Counts "settle.checked" and "settle.stale"; returns the number of stale answers.
    std::int64_t CheckHeld(const std::vector<ResultPtr>& held);

private:
    void Describe(const char* what, const QueryResult& served, const std::string& detail);

    QueryRunner& m_runner;
    Stats& m_stats;
    std::int64_t m_windowMs;
    int m_described = 0;
};

}  // namespace demo
