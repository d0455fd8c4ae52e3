// A private PostgreSQL server for a test, a benchmark or a demo run: a cluster of its own, made
// by initdb at the first start in a temporary directory, listening on a free loopback port (TCP,
// password authentication, logical replication allowed) and on a socket in that directory, never
// touching the machine's own cluster. Durability is traded for speed (fsync off): a crash of the
// server (Stop(SIGKILL)) keeps what was committed, a crash of the machine would not. It is
// stopped and its directory removed when the object goes, and when the process ends through
// exit() with the object still there. A process running as root runs the server as the postgres
// account (PostgreSQL will not run as root). SQL goes through the psql client, so no PostgreSQL
// library is linked. Not thread-safe: use from one thread at a time.
//
// The server dies with the thread that started it (a parent-death signal, which is how it goes
// when a signal kills the process): start it from a thread that outlives it, the main thread of
// a test or a benchmark.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>

namespace velsupport {

// What Start answers when no PostgreSQL server is installed.
inline constexpr const char* kPostgresMissing =
    "PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/postgres); install the "
    "postgresql-15 package (scripts/setup does)";

class PostgresServer {
public:
    // `extraConfig`: postgresql.conf lines added after the defaults, so that they override them
    // (wal_level=replica, say).
    explicit PostgresServer(std::string extraConfig = "");
    // Stops the server (fast shutdown) and removes its directory.
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // Whether a PostgreSQL server (initdb and postgres) is installed.
    static bool IsInstalled();

    // Starts the server (making its cluster at the first start; on the port and in the directory
    // of the previous start after that) and waits up to 30 s until it answers SELECT 1 over
    // TCP. Returns an empty string on success (also when it is running already), else what went
    // wrong with the end of the server's log: kPostgresMissing when it is not installed.
    std::string Start();
    // Sends `signal` to the server: SIGINT a fast shutdown, SIGTERM a smart one (which waits
    // for the clients to go), SIGKILL a crash (its backends are killed too, so that it can start
    // again). SIGKILL after 10 s, and reaps it. Does nothing when it is not running.
    void Stop(int signal = SIGINT);
    bool IsRunning() const { return m_pid > 0; }

    // The port, chosen at the first start; 0 before.
    int Port() const { return m_port; }
    // The password of the superuser postgres (over TCP; the local socket needs none).
    const std::string& Password() const { return m_password; }
    // The scratch directory (the cluster is in its data subdirectory, the log in server.log);
    // empty before the first start.
    std::string Directory() const { return m_dir; }
    // The postmaster's process id; -1 when it is not running.
    pid_t Pid() const { return m_pid; }
    // Keyword/value connection parameters for `user` (plain names: nothing is quoted) on
    // `dbname` over TCP.
    std::string ConnInfo(const std::string& dbname = "postgres",
                         const std::string& user = "postgres") const;

    // Runs `sql` (one psql -c string: several statements run as one transaction) as postgres on
    // `dbname`, stopping at the first error. Its rows unaligned without headers, columns split
    // by '|', one row a line, the last newline removed. On failure an empty string, with psql's
    // messages in *error; without `error` a failure is an empty string and nothing more.
    std::string Sql(const std::string& sql, std::string* error = nullptr,
                    const std::string& dbname = "postgres") const;

private:
    // The last lines of server.log, for an error message.
    std::string LogTail() const;

    std::string m_extraConfig;
    std::string m_password;
    std::string m_binDir;  // of initdb and postgres; empty when none is installed
    std::string m_psql;
    int m_port = 0;
    pid_t m_pid = -1;
    std::string m_dir;
};

}  // namespace velsupport
