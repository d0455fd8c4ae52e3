// ChangeRecorder: the writer's side of the change history. Each update changes one sales row
// and, in the same transaction, bumps the version of every base query the row affects and
// records, per new version, the update that made it, its commit time and the query's rows as of
// that version (before a query's first change, also its rows at version 0). A freshness check
// can then tell at which update a query's rows stopped equalling an answer, whatever the
// versions in between left unchanged. Announcement times are recorded afterwards.
// Not thread-safe: use from one thread at a time (it writes through the runner's connection,
// which must have no transaction open when Apply is called).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "data/Database.h"
#include "data/QueryCatalogue.h"
#include "data/QueryRunner.h"

namespace demo {

class ChangeRecorder {
public:
    // `clock` gives the commit time recorded, in ms (NowMs; tests date changes themselves).
    // `runner` must outlive the recorder.
    ChangeRecorder(QueryRunner& runner, const QueryCatalogue& catalogue,
                   std::function<std::int64_t()> clock = NowMs);

    struct Update {
        std::int64_t id = 0;
        std::vector<int> affected;           // base queries, ascending
        std::vector<std::int64_t> versions;  // their new versions, in the same order
        SalesCell cell;                      // where the changed row sits
    };
    // Adds `delta` to the amount of sales row `salesId` and records the change, in one
    // transaction. Raises std::runtime_error (and changes nothing) when the row is missing.
    Update Apply(std::int64_t salesId, std::int64_t delta);
    // Records when each query of `update` was announced, in ms, in the order of `affected`.
    void RecordAnnounced(const Update& update, const std::vector<std::int64_t>& announcedAtMs);
    // The largest sales row id when the recorder was made: Apply takes ids from 1 to it.
    std::int64_t SalesRows() const { return m_salesRows; }

private:
    void RecordRows(int qid, std::int64_t version);

    QueryRunner& m_runner;
    const QueryCatalogue& m_catalogue;
    std::function<std::int64_t()> m_clock;
    std::int64_t m_lastUpdate = 0;
    std::int64_t m_salesRows = 0;
    Statement m_readRow;
    Statement m_updateRow;
    Statement m_bumpVersion;
    Statement m_recordChange;
    Statement m_recordRows;
    Statement m_recordAnnouncement;
};

}  // namespace demo
