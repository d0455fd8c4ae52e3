// The main job's data on PostgreSQL (see data/Database.h): libpq, text results, parameters sent
// as text (BYTEA as binary), the SQLite dialect translated as the header says.
#include <libpq-fe.h>

#include <cctype>
#include <charconv>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "data/Database.h"

namespace demo {

namespace {

bool IsWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Replaces the whole word `from` with `to` outside quotes.
std::string ReplaceWord(const std::string& sql, const std::string& from, const std::string& to) {
    std::string out;
    bool quoted = false;
    for (std::size_t i = 0; i < sql.size();) {
        if (sql[i] == '\'') quoted = !quoted;
        if (!quoted && sql.compare(i, from.size(), from) == 0 &&
            (i == 0 || !IsWordChar(sql[i - 1])) &&
            (i + from.size() == sql.size() || !IsWordChar(sql[i + from.size()]))) {
            out += to;
            i += from.size();
        } else {
            out.push_back(sql[i++]);
        }
    }
    return out;
}

// SQLite's dialect as PostgreSQL writes it; `parameters` gets the number of parameters.
std::string Translate(const std::string& sql, int* parameters = nullptr) {
    if (sql == "BEGIN") return "BEGIN ISOLATION LEVEL REPEATABLE READ";
    if (sql == "BEGIN IMMEDIATE") return "BEGIN";
    std::string out;
    int next = 0, most = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (c == '\'') quoted = !quoted;
        if (c != '?' || quoted) {
            out.push_back(c);
            continue;
        }
        int number = 0;
        while (i + 1 < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i + 1])))
            number = number * 10 + (sql[++i] - '0');
        if (number == 0) number = ++next;
        most = std::max(most, number);
        out += "$" + std::to_string(number);
    }
    if (parameters) *parameters = most;
    return ReplaceWord(ReplaceWord(out, "INTEGER", "BIGINT"), "BLOB", "BYTEA");
}

std::string OneLine(const char* text) {
    std::string line = text ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

// After a failure: a connection the server closed (a restart) is made again, so that the next
// statement may succeed; the failed one still raises.
void ReconnectIfLost(PGconn* conn) {
    if (PQstatus(conn) == CONNECTION_BAD) PQreset(conn);
}

class PgStatement : public StatementBackend {
public:
    PgStatement(PGconn* conn, const std::string& sql)
        : m_conn(conn), m_sql(Translate(sql, &m_count)) {
        m_values.resize(static_cast<std::size_t>(m_count));
        m_binary.resize(static_cast<std::size_t>(m_count), 0);
    }
    ~PgStatement() override { PQclear(m_result); }

    void Bind(int index, std::int64_t value) override { Set(index, std::to_string(value), false); }
    void BindNull(int index) override { m_values.at(static_cast<std::size_t>(index - 1)).reset(); }
    void BindBlob(int index, const std::vector<unsigned char>& bytes) override {
        Set(index, std::string(bytes.begin(), bytes.end()), true);
    }

    bool Step() override {
        if (!m_result) {
            std::vector<const char*> values;
            std::vector<int> lengths;
            for (const auto& v : m_values) {
                values.push_back(v ? v->data() : nullptr);
                lengths.push_back(v ? static_cast<int>(v->size()) : 0);
            }
            m_result = PQexecParams(m_conn, m_sql.c_str(), m_count, nullptr, values.data(),
                                    lengths.data(), m_binary.data(), 0);
            const ExecStatusType status = PQresultStatus(m_result);
            if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
                const std::string message = OneLine(PQresultErrorMessage(m_result));
                Reset();
                ReconnectIfLost(m_conn);
                throw std::runtime_error(m_sql + ": " + message);
            }
            m_row = -1;
        }
        return ++m_row < PQntuples(m_result);
    }

    std::int64_t Column(int index) const override {
        const char* text = PQgetvalue(m_result, m_row, index);
        std::int64_t value = 0;
        std::from_chars(text, text + std::strlen(text), value);
        return value;
    }
    bool ColumnIsNull(int index) const override { return PQgetisnull(m_result, m_row, index) != 0; }
    std::vector<unsigned char> ColumnBlob(int index) const override {
        std::size_t size = 0;
        unsigned char* bytes = PQunescapeBytea(
            reinterpret_cast<const unsigned char*>(PQgetvalue(m_result, m_row, index)), &size);
        std::vector<unsigned char> out(bytes, bytes + size);
        PQfreemem(bytes);
        return out;
    }
    int ColumnCount() const override { return m_result ? PQnfields(m_result) : 0; }
    int ParameterCount() const override { return m_count; }
    void Reset() override {
        PQclear(m_result);
        m_result = nullptr;
    }

private:
    void Set(int index, std::string value, bool binary) {
        const auto at = static_cast<std::size_t>(index - 1);
        m_values.at(at) = std::move(value);
        m_binary.at(at) = binary ? 1 : 0;
    }

    PGconn* m_conn;
    int m_count = 0;
    const std::string m_sql;
    std::vector<std::optional<std::string>> m_values;
    std::vector<int> m_binary;
    PGresult* m_result = nullptr;
    int m_row = -1;
};

class PgDatabase : public DatabaseBackend {
public:
    explicit PgDatabase(const std::string& conninfo) : m_conn(PQconnectdb(conninfo.c_str())) {
        if (PQstatus(m_conn) != CONNECTION_OK) {
            const std::string message = OneLine(PQerrorMessage(m_conn));
            PQfinish(m_conn);
            throw std::runtime_error("cannot connect to PostgreSQL: " + message);
        }
    }
    ~PgDatabase() override { PQfinish(m_conn); }

    void Exec(const std::string& sql) override {
        PGresult* result = PQexec(m_conn, Translate(sql).c_str());
        const ExecStatusType status = PQresultStatus(result);
        const std::string message = OneLine(PQresultErrorMessage(result));
        PQclear(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            ReconnectIfLost(m_conn);
            throw std::runtime_error(sql + ": " + message);
        }
    }
    std::unique_ptr<StatementBackend> Prepare(const std::string& sql) override {
        return std::make_unique<PgStatement>(m_conn, sql);
    }

private:
    PGconn* m_conn;
};

}  // namespace

std::unique_ptr<DatabaseBackend> ConnectPostgres(const std::string& conninfo) {
    return std::make_unique<PgDatabase>(conninfo);
}

}  // namespace demo
