#include "data/QueryRunner.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "velcoredata/DateTime.h"

namespace demo {

std::uint64_t NowTicks() {
    return DateTime::UtcNow().GetRepresentation();
}

std::int64_t NowMs() {
    return static_cast<std::int64_t>(NowTicks() / 10000);
}

void DatabaseOutage::Begin() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_active = true;
}

void DatabaseOutage::End() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_active = false;
    m_ended.notify_all();
}

bool DatabaseOutage::Active() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_active;
}

void DatabaseOutage::Gate() const {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_ended.wait_for(lock, m_busyTimeout, [this] { return !m_active; }))
        throw std::runtime_error("database is locked");
}

QueryRunner::QueryRunner(const std::string& dbPath, const QueryCatalogue& catalogue,
                         const DatabaseOutage* outage)
    : m_catalogue(catalogue),
      m_outage(outage),
      m_db(dbPath),
      m_statements(catalogue.StatementCount()),
      m_version(m_db, "SELECT version FROM query_versions WHERE qid = ?1"),
      m_rowsAt(m_db, "SELECT rows FROM query_rows WHERE qid = ?1 AND version = ?2"),
      m_changesAfter(m_db,
                     "SELECT c.update_id, c.committed_at, c.announced_at, r.rows FROM changes c"
                     " LEFT JOIN query_rows r ON r.qid = c.qid AND r.version = c.version"
                     " WHERE c.qid = ?1 AND c.version > ?2") {}

std::vector<Row> QueryRunner::RunBase(const Query& query) {
    auto& statement = m_statements.at(static_cast<std::size_t>(query.statement));
    if (!statement) statement = std::make_unique<Statement>(m_db, query.sql);
    const int parameters = statement->ParameterCount();
    if (parameters >= 1) statement->Bind(1, query.a);
    if (parameters >= 2) statement->Bind(2, query.b);
    std::vector<Row> rows;
    while (statement->Step()) {
        Row row(static_cast<std::size_t>(statement->ColumnCount()));
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i] = statement->Column(static_cast<int>(i));
        rows.push_back(std::move(row));
    }
    statement->Reset();
    return rows;
}

std::int64_t QueryRunner::VersionInTransaction(int qid) {
    m_version.Bind(1, qid);
    const std::int64_t version = m_version.Step() ? m_version.Column(0) : 0;
    m_version.Reset();
    return version;
}

std::int64_t QueryRunner::Version(int qid) {
    return VersionInTransaction(qid);
}

std::vector<Row> QueryRunner::Rows(int qid) {
    return RunBase(m_catalogue.Get(qid));
}

std::vector<Row> QueryRunner::RowsFromParts(int qid,
                                            const std::vector<std::vector<Row>>& parts) const {
    if (!m_catalogue.Get(qid).Derived()) return parts.at(0);
    std::vector<const std::vector<Row>*> views;
    for (const auto& rows : parts) views.push_back(&rows);
    return ShareRows(views);
}

ResultPtr QueryRunner::Compute(int qid) {
    const Query& query = m_catalogue.Get(qid);
    auto result = std::make_shared<QueryResult>();
    result->qid = qid;
    if (m_outage) m_outage->Gate();
    m_db.Exec("BEGIN");
    try {
        std::vector<std::vector<Row>> parts;
        for (const int part : query.Derived() ? query.components : std::vector<int>{qid}) {
            result->versions.emplace_back(part, VersionInTransaction(part));
            parts.push_back(RunBase(m_catalogue.Get(part)));
        }
        result->rows = RowsFromParts(qid, parts);
        m_db.Exec("COMMIT");
    } catch (...) {
        m_db.Exec("ROLLBACK");
        throw;
    }
    return result;
}

QueryRunner::History QueryRunner::HistoryOf(const QueryResult& answer) {
    History history;
    m_db.Exec("BEGIN");
    try {
        for (std::size_t part = 0; part < answer.versions.size(); ++part) {
            const auto [qid, version] = answer.versions[part];
            history.rowsNow.push_back(RunBase(m_catalogue.Get(qid)));
            m_rowsAt.Bind(1, qid);
            m_rowsAt.Bind(2, version);
            if (m_rowsAt.Step())
                history.rowsAtVersion.push_back(DecodeRows(m_rowsAt.ColumnBlob(0)));
            else if (VersionInTransaction(qid) == version)  // unchanged since
                history.rowsAtVersion.push_back(history.rowsNow.back());
            else
                history.rowsAtVersion.emplace_back();
            m_rowsAt.Reset();

            m_changesAfter.Bind(1, qid);
            m_changesAfter.Bind(2, version);
            while (m_changesAfter.Step()) {
                RecordedChange& change = history.changes.emplace_back();
                change.update = m_changesAfter.Column(0);
                change.part = part;
                change.committedAtMs = m_changesAfter.Column(1);
                if (!m_changesAfter.ColumnIsNull(2))
                    change.announcedAtMs = m_changesAfter.Column(2);
                if (!m_changesAfter.ColumnIsNull(3))
                    change.rows = DecodeRows(m_changesAfter.ColumnBlob(3));
            }
            m_changesAfter.Reset();
        }
        m_db.Exec("COMMIT");
    } catch (...) {
        m_db.Exec("ROLLBACK");
        throw;
    }
    std::stable_sort(
        history.changes.begin(), history.changes.end(),
        [](const RecordedChange& a, const RecordedChange& b) { return a.update < b.update; });
    return history;
}

}  // namespace demo

namespace demo {

RunnerPool::Lease RunnerPool::Acquire() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_leases;
        if (!m_free.empty()) {
            std::unique_ptr<QueryRunner> runner = std::move(m_free.back());
            m_free.pop_back();
            return Lease(*this, std::move(runner));
        }
        ++m_opened;
    }
    // Opened without the lock: another load need not wait for this one's connection.
    return Lease(*this, std::make_unique<QueryRunner>(m_dbPath, m_catalogue, m_outage));
}

std::size_t RunnerPool::Opened() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opened;
}

std::int64_t RunnerPool::Leases() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_leases;
}

std::size_t RunnerPool::Idle() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_free.size();
}

void RunnerPool::GiveBack(std::unique_ptr<QueryRunner> runner) {
    if (!runner) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_free.size() < kKeptIdle) {
        m_free.push_back(std::move(runner));
        return;
    }
    lock.unlock();
    runner.reset();  // closes its connection without the lock
}

}  // namespace demo
