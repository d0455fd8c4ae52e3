#include "judge/ChangeRecorder.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace demo {

ChangeRecorder::ChangeRecorder(QueryRunner& runner, const QueryCatalogue& catalogue,
                               std::function<std::int64_t()> clock)
    : m_runner(runner),
      m_catalogue(catalogue),
      m_clock(std::move(clock)),
      m_readRow(runner.Db(),
                "SELECT region_id, product_id, month, amount FROM sales WHERE id = ?1"),
      m_updateRow(runner.Db(), "UPDATE sales SET amount = ?2 WHERE id = ?1"),
      m_bumpVersion(runner.Db(),
                    "INSERT INTO query_versions(qid, version) VALUES(?1, 1)"
                    " ON CONFLICT(qid) DO UPDATE SET version = query_versions.version + 1"
                    " RETURNING version"),
      m_recordChange(runner.Db(),
                     "INSERT INTO changes(qid, version, update_id, committed_at)"
                     " VALUES(?1, ?2, ?3, ?4)"),
      m_recordRows(runner.Db(),
                   "INSERT INTO query_rows(qid, version, rows) VALUES(?1, ?2, ?3)"
                   " ON CONFLICT(qid, version) DO UPDATE SET rows = excluded.rows"),
      m_recordAnnouncement(runner.Db(),
                           "UPDATE changes SET announced_at = ?3 WHERE qid = ?1 AND version = ?2") {
    m_lastUpdate = runner.Db().QueryInt("SELECT COALESCE(MAX(update_id), 0) FROM changes");
    m_salesRows = runner.Db().QueryInt("SELECT MAX(id) FROM sales");
}

void ChangeRecorder::RecordRows(int qid, std::int64_t version) {
    m_recordRows.Bind(1, qid);
    m_recordRows.Bind(2, version);
    m_recordRows.BindBlob(3, EncodeRows(m_runner.Rows(qid)));
    m_recordRows.Step();
    m_recordRows.Reset();
}

ChangeRecorder::Update ChangeRecorder::Apply(std::int64_t salesId, std::int64_t delta) {
    Database& db = m_runner.Db();
    Update update;
    update.id = m_lastUpdate + 1;
    db.Exec("BEGIN IMMEDIATE");
    try {
        m_readRow.Bind(1, salesId);
        if (!m_readRow.Step()) {
            m_readRow.Reset();
            throw std::runtime_error("no sales row " + std::to_string(salesId));
        }
        const SalesCell cell{static_cast<int>(m_readRow.Column(0)),
                             static_cast<int>(m_readRow.Column(1)),
                             static_cast<int>(m_readRow.Column(2))};
        const std::int64_t amount = m_readRow.Column(3) + delta;
        m_readRow.Reset();
        update.cell = cell;
        update.affected = m_catalogue.AffectedBaseQueries(cell);
        for (const int qid : update.affected)
            if (m_runner.Version(qid) == 0) RecordRows(qid, 0);  // as they were before any change

        m_updateRow.Bind(1, salesId);
        m_updateRow.Bind(2, amount);
        m_updateRow.Step();
        m_updateRow.Reset();
        for (const int qid : update.affected) {
            m_bumpVersion.Bind(1, qid);
            m_bumpVersion.Step();
            update.versions.push_back(m_bumpVersion.Column(0));
            while (m_bumpVersion.Step()) {
            }
            m_bumpVersion.Reset();
            RecordRows(qid, update.versions.back());
        }
        // Read last, so that only the commit itself follows.
        const std::int64_t committedAt = m_clock();
        for (std::size_t i = 0; i < update.affected.size(); ++i) {
            m_recordChange.Bind(1, update.affected[i]);
            m_recordChange.Bind(2, update.versions[i]);
            m_recordChange.Bind(3, update.id);
            m_recordChange.Bind(4, committedAt);
            m_recordChange.Step();
            m_recordChange.Reset();
        }
        db.Exec("COMMIT");
    } catch (...) {
        db.Exec("ROLLBACK");
        throw;
    }
    m_lastUpdate = update.id;
    return update;
}

void ChangeRecorder::RecordAnnounced(const Update& update,
                                     const std::vector<std::int64_t>& announcedAtMs) {
    Database& db = m_runner.Db();
    db.Exec("BEGIN IMMEDIATE");
    for (std::size_t i = 0; i < update.affected.size() && i < announcedAtMs.size(); ++i) {
        m_recordAnnouncement.Bind(1, update.affected[i]);
        m_recordAnnouncement.Bind(2, update.versions[i]);
        m_recordAnnouncement.Bind(3, announcedAtMs[i]);
        m_recordAnnouncement.Step();
        m_recordAnnouncement.Reset();
    }
    db.Exec("COMMIT");
}

}  // namespace demo
