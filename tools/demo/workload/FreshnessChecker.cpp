#include "FreshnessChecker.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace demo {

FreshnessChecker::Verdict FreshnessChecker::CheckServed(const ResultPtr& served) {
    const ResultPtr fresh = m_runner.Compute(served->qid);
    if (fresh->rows == served->rows) {
        m_stats.Count("check.fresh");
        return Verdict::Fresh;
    }
    // The change that outdated the answer: the earliest announced one among its base queries.
    bool changed = false;
    std::int64_t firstAnnouncedMs = INT64_MAX;
    for (const auto& [qid, version] : served->versions) {
        const auto change = m_runner.FirstChangeAfter(qid, version);
        if (!change) continue;
        changed = true;
        if (change->announcedAtMs)
            firstAnnouncedMs = std::min(firstAnnouncedMs, *change->announcedAtMs);
    }
    const std::int64_t age = firstAnnouncedMs == INT64_MAX ? 0 : NowMs() - firstAnnouncedMs;
    if (changed && age <= m_windowMs) {
        m_stats.Count("check.stale-within-window");
        return Verdict::StaleWithinWindow;
    }
    m_stats.Count("check.stale-beyond-window");
    Describe(
        "stale beyond the window", *served,
        changed ? ("announced " + std::to_string(age) + " ms ago").c_str() : "no change recorded");
    return Verdict::StaleBeyondWindow;
}

std::int64_t FreshnessChecker::CheckHeld(const std::vector<ResultPtr>& held) {
    std::int64_t stale = 0;
    for (const ResultPtr& result : held) {
        m_stats.Count("settle.checked");
        if (m_runner.Compute(result->qid)->rows == result->rows) continue;
        ++stale;
        m_stats.Count("settle.stale");
        Describe("stale after settle", *result, "");
    }
    return stale;
}

void FreshnessChecker::Describe(const char* what, const QueryResult& served, const char* detail) {
    if (++m_described > 5) return;
    std::string versions;
    for (const auto& [qid, version] : served.versions)
        versions += " " + std::to_string(qid) + "@v" + std::to_string(version);
    std::fprintf(stderr, "[check] %s: query %d (versions%s) %s\n", what, served.qid,
                 versions.c_str(), detail);
}

}  // namespace demo
