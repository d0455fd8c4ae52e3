#include "QueryRunner.h"

#include <chrono>

#include "velcoredata/DateTime.h"

namespace demo {

std::uint64_t NowTicks() {
    return DateTime::UtcNow().GetRepresentation();
}

std::int64_t NowMs() {
    return static_cast<std::int64_t>(NowTicks() / 10000);
}

QueryRunner::QueryRunner(const std::string& dbPath, const QueryCatalogue& catalogue)
    : m_catalogue(catalogue),
      m_db(dbPath),
      m_statements(catalogue.Size()),
      m_version(m_db, "SELECT version FROM query_versions WHERE qid = ?1"),
      m_firstChange(m_db,
                    "SELECT announced_at FROM changes WHERE qid = ?1 AND version > ?2"
                    " ORDER BY version LIMIT 1") {}

std::vector<Row> QueryRunner::RunBase(const Query& query) {
    auto& statement = m_statements.at(static_cast<std::size_t>(query.id));
    if (!statement) statement = std::make_unique<SqliteStatement>(m_db, query.sql);
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

ResultPtr QueryRunner::Compute(int qid) {
    const Query& query = m_catalogue.Get(qid);
    auto result = std::make_shared<QueryResult>();
    result->qid = qid;
    m_db.Exec("BEGIN");
    try {
        // The snapshot is taken by the first statement, after this reading of the clock.
        result->timestamp = NowTicks();
        if (!query.Derived()) {
            result->versions.emplace_back(qid, VersionInTransaction(qid));
            result->rows = RunBase(query);
        } else {
            std::vector<std::vector<Row>> parts;
            for (const int part : query.components) {
                result->versions.emplace_back(part, VersionInTransaction(part));
                parts.push_back(RunBase(m_catalogue.Get(part)));
            }
            std::vector<const std::vector<Row>*> views;
            for (const auto& rows : parts) views.push_back(&rows);
            result->rows = ShareRows(views);
        }
        m_db.Exec("COMMIT");
    } catch (...) {
        m_db.Exec("ROLLBACK");
        throw;
    }
    return result;
}

std::optional<QueryRunner::Change> QueryRunner::FirstChangeAfter(int qid, std::int64_t version) {
    m_firstChange.Bind(1, qid);
    m_firstChange.Bind(2, version);
    std::optional<Change> change;
    if (m_firstChange.Step()) {
        change.emplace();
        if (!m_firstChange.ColumnIsNull(0)) change->announcedAtMs = m_firstChange.Column(0);
    }
    m_firstChange.Reset();
    return change;
}

}  // namespace demo
