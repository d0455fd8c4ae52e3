// A libpq connection in replication mode (replication=database): plain SQL for the checks, the
// replication commands, and the copy-both stream of START_REPLICATION. Errors raise
// std::runtime_error naming host:port and the server's or libpq's words. Not thread-safe: use
// from one thread at a time.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;

namespace velmora::caching::follow {

class PgConnection {
public:
    /// Connects within `timeout`. Raises naming host:port and the cause.
    PgConnection(const std::string& conninfo, std::chrono::milliseconds timeout);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    /// "host:port" of the server.
    const std::string& Address() const { return m_address; }

    /// Runs `sql` (a query or a replication command); returns its rows, each a list of column
    /// texts (NULL as an empty text). Raises with the server's message.
    std::vector<std::vector<std::string>> Query(const std::string& sql);
    /// `text` as an SQL literal or identifier, quoted for this connection.
    std::string Literal(const std::string& text);
    std::string Identifier(const std::string& text);

    /// Sends START_REPLICATION (`command`); raises with the server's message when it refuses.
    void StartCopy(const std::string& command);
    /// The next copy-data frame, waiting at most `wait`; nothing when none came. Raises when the
    /// stream ended or the connection broke.
    std::optional<std::string> Read(std::chrono::milliseconds wait);
    /// Sends a copy-data frame (a status update). Raises when the connection broke.
    void Send(const std::string& frame);

private:
    [[noreturn]] void Fail(const std::string& what);

    pg_conn* m_conn = nullptr;
    std::string m_address;
};

}  // namespace velmora::caching::follow
