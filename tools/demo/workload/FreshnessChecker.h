// FreshnessChecker: compares answers a worker served from a cache with the database. A differing
// answer is stale; it is stale within the propagation window while the change that outdated it
// is unannounced or was announced at most `windowMs` ago, and stale beyond the window after
// that. At the end, every answer a worker still holds is compared the same way (after settling,
// any difference counts).
// Not thread-safe: use from one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "QueryRunner.h"
#include "Stats.h"

namespace demo {

class FreshnessChecker {
public:
    FreshnessChecker(QueryRunner& runner, Stats& stats, std::int64_t windowMs)
        : m_runner(runner), m_stats(stats), m_windowMs(windowMs) {}

    enum class Verdict { Fresh, StaleWithinWindow, StaleBeyondWindow };
    // Counts "check.fresh", "check.stale-within-window" or "check.stale-beyond-window".
    Verdict CheckServed(const ResultPtr& served);
    // Counts "settle.checked" and "settle.stale"; returns the number of stale answers.
    std::int64_t CheckHeld(const std::vector<ResultPtr>& held);

private:
    void Describe(const char* what, const QueryResult& served, const char* detail);

    QueryRunner& m_runner;
    Stats& m_stats;
    std::int64_t m_windowMs;
    int m_described = 0;
};

}  // namespace demo
