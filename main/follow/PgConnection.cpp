#include "follow/PgConnection.h"

#include <libpq-fe.h>
#include <poll.h>

#include <memory>
#include <stdexcept>

namespace velmora::caching::follow {

namespace {

// libpq's messages end with a newline and sometimes hold several lines: one line for a log.
std::string OneLine(const char* text) {
    std::string line = text ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    for (char& c : line)
        if (c == '\n' || c == '\t') c = ' ';
    return line;
}

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

}  // namespace

PgConnection::PgConnection(const std::string& conninfo, std::chrono::milliseconds timeout) {
    // libpq counts whole seconds, at least 2.
    const std::string seconds =
        std::to_string(std::max<long long>(2, (timeout.count() + 999) / 1000));
    const char* keywords[] = {"dbname", "replication", "connect_timeout", "application_name",
                              nullptr};
    const char* values[] = {conninfo.c_str(), "database", seconds.c_str(), "velcache-follow",
                            nullptr};
    m_conn = PQconnectdbParams(keywords, values, 1);
    const char* host = m_conn ? PQhost(m_conn) : nullptr;
    const char* port = m_conn ? PQport(m_conn) : nullptr;
    m_address = std::string(host && *host ? host : "localhost") + ":" +
                std::string(port && *port ? port : "5432");
    if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
        // No destructor runs for a constructor that raises: the connection goes here.
        const std::string why = OneLine(m_conn ? PQerrorMessage(m_conn) : "out of memory");
        PQfinish(m_conn);
        m_conn = nullptr;
        throw std::runtime_error("cannot connect to PostgreSQL at " + m_address + ": " + why);
    }
}

PgConnection::~PgConnection() {
    PQfinish(m_conn);
}

void PgConnection::Fail(const std::string& what) {
    throw std::runtime_error(what + ": " +
                             OneLine(m_conn ? PQerrorMessage(m_conn) : "out of memory"));
}

std::vector<std::vector<std::string>> PgConnection::Query(const std::string& sql) {
    Result result(PQexec(m_conn, sql.c_str()));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw std::runtime_error(
            "PostgreSQL at " + m_address + ": " +
            OneLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(m_conn)));
    std::vector<std::vector<std::string>> rows;
    for (int r = 0; r < PQntuples(result.get()); ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < PQnfields(result.get()); ++c)
            row.emplace_back(PQgetvalue(result.get(), r, c));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string PgConnection::Literal(const std::string& text) {
    char* quoted = PQescapeLiteral(m_conn, text.data(), text.size());
    if (!quoted) Fail("PostgreSQL at " + m_address);
    std::string out(quoted);
    PQfreemem(quoted);
    return out;
}

std::string PgConnection::Identifier(const std::string& text) {
    char* quoted = PQescapeIdentifier(m_conn, text.data(), text.size());
    if (!quoted) Fail("PostgreSQL at " + m_address);
    std::string out(quoted);
    PQfreemem(quoted);
    return out;
}

void PgConnection::StartCopy(const std::string& command) {
    Result result(PQexec(m_conn, command.c_str()));
    if (!result || PQresultStatus(result.get()) != PGRES_COPY_BOTH)
        throw std::runtime_error(
            "PostgreSQL at " + m_address + ": " +
            OneLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(m_conn)));
}

std::optional<std::string> PgConnection::Read(std::chrono::milliseconds wait) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        char* buffer = nullptr;
        const int length = PQgetCopyData(m_conn, &buffer, 1);
        if (length > 0) {
            std::string frame(buffer, static_cast<std::size_t>(length));
            PQfreemem(buffer);
            return frame;
        }
        if (length == -1) {
            // The stream ended: the server says why in the result that follows.
            Result result(PQgetResult(m_conn));
            std::string why =
                OneLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(m_conn));
            if (why.empty()) why = "the server closed it (shutting down?)";
            throw std::runtime_error("PostgreSQL at " + m_address + " ended the stream: " + why);
        }
        if (length == -2) Fail("PostgreSQL at " + m_address + ": the stream broke");
        if (attempt == 1) break;
        pollfd fd{PQsocket(m_conn), POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(wait.count()));
        if (ready <= 0) return std::nullopt;
        if (!PQconsumeInput(m_conn)) Fail("PostgreSQL at " + m_address + ": the stream broke");
    }
    return std::nullopt;
}

void PgConnection::Send(const std::string& frame) {
    if (PQputCopyData(m_conn, frame.data(), static_cast<int>(frame.size())) != 1 ||
        PQflush(m_conn) != 0)
        Fail("PostgreSQL at " + m_address + ": a status update could not be sent");
}

}  // namespace velmora::caching::follow
