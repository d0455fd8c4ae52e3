#include "judge/FreshnessChecker.h"

#include <chrono>
#include <cstdio>

namespace demo {

namespace {

// The change that made `served` stale: replays the recorded changes after the answer's versions,
// one update at a time, from the parts' rows at those versions, and stops at the first update
// after which the combined rows differ from the served ones. Null, with `why` set, when the
// records do not explain the difference.
const QueryRunner::RecordedChange* FirstDifferingChange(const QueryRunner& runner,
                                                        const QueryResult& served,
                                                        const QueryRunner::History& history,
                                                        std::string& why) {
    std::vector<std::vector<Row>> parts;
    for (const auto& rows : history.rowsAtVersion) {
        if (!rows) {
            why = "no rows recorded for its versions";
            return nullptr;
        }
        parts.push_back(*rows);
    }
    // A derived answer may combine parts of different moments; the combination must still give
    // what was served, or the answer was never right.
    if (runner.RowsFromParts(served.qid, parts) != served.rows) {
        why = "its rows never matched its versions";
        return nullptr;
    }
    const auto& changes = history.changes;
    for (std::size_t i = 0; i < changes.size();) {
        const std::size_t first = i;
        for (; i < changes.size() && changes[i].update == changes[first].update; ++i) {
            if (!changes[i].rows) {
                why = "no rows recorded for update " + std::to_string(changes[i].update);
                return nullptr;
            }
            parts[changes[i].part] = *changes[i].rows;
        }
        if (runner.RowsFromParts(served.qid, parts) != served.rows) return &changes[first];
    }
    why = "no recorded change explains it";
    return nullptr;
}

}  // namespace

FreshnessChecker::Verdict FreshnessChecker::CheckServed(const ResultPtr& served,
                                                        std::int64_t answeredAtMs,
                                                        const std::string& circumstances) {
    const QueryRunner::History history = m_runner.HistoryOf(*served);
    if (m_runner.RowsFromParts(served->qid, history.rowsNow) == served->rows) {
        m_stats.Count("check.fresh");
        return Verdict::Fresh;
    }
    std::string why;
    const QueryRunner::RecordedChange* change =
        FirstDifferingChange(m_runner, *served, history, why);
    const std::int64_t age = change ? answeredAtMs - change->committedAtMs : 0;
    if (change && age <= m_windowMs) {
        m_stats.Count("check.stale-within-window");
        return Verdict::StaleWithinWindow;
    }
    m_stats.Count("check.stale-beyond-window");
    if (change) {
        why = "rows changed by update " + std::to_string(change->update) + ", committed " +
              std::to_string(age) + " ms before the answer, " +
              (change->announcedAtMs
                   ? "announced " + std::to_string(*change->announcedAtMs - change->committedAtMs) +
                         " ms after its commit"
                   : std::string("not announced yet"));
    }
    if (!circumstances.empty()) why += "; " + circumstances;
    Describe("stale beyond the window", *served, why);
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

void FreshnessChecker::Describe(const char* what, const QueryResult& served,
                                const std::string& detail) {
    if (++m_described > 5) return;
    std::string versions;
    for (const auto& [qid, version] : served.versions)
        versions += " " + std::to_string(qid) + "@v" + std::to_string(version);
    // The wall-clock time lets a reader set the finding beside the faults of a run.
    std::fprintf(
        stderr, "[check] %s at %.3f: query %d (versions%s) %s\n", what,
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(),
        served.qid, versions.c_str(), detail.c_str());
}

}  // namespace demo
