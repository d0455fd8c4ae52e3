// The commit-log follower (the velcache-follow command) against a private PostgreSQL cluster and a
// private redis-server, each figure beside what a writer that announces its own changes gets.
//
// CommitToHeard/<set-up>/rate:N: a writer thread on its own libpq connection commits INSERTs of
// new rows into items(id bigint primary key, v int) at N row changes a second, paced by a
// schedule (100/s: one row a transaction; 5,000/s: ten rows a transaction at 500 transactions a
// second), and notes when each statement returned (each INSERT is its own transaction, so it
// returns once committed). A listener of its own (TagInvalidations over its own subscription, as
// a process holding caches) notes when each tag "items:<id>" is heard. Lag = heard - committed:
// p50_ms, p99_ms, max_ms. changes_per_s is the rate achieved and rate_kept is 0 when it fell
// under 95% of the rate asked (the machine could not keep up); missing counts the rows never
// heard (it must be 0).
//   follower: the writer says nothing; velcache-follow runs as a child process and announces.
//     follower_cpu_ms_per_s is the command's CPU (user + system) per second of the run, also per
//     1,000 changes a second; walsender_cpu_ms_per_s is the server process that decodes the
//     commit log for it.
//   writer_announces (the baseline): no follower; after each commit the writer calls Invalidate
//     with the transaction's tags on a TagInvalidations of its own. announce_cpu_ms_per_s is
//     the writer thread's CPU inside those calls.
// WalKeptWhileDown: the follower follows and is killed (SIGKILL); the writer commits 1,000 rows a
// second (ten a transaction) for a while; then what the server keeps for the slot
// (wal_kept_bytes, from its restart position; wal_unconfirmed_bytes, from its confirmed one)
// beside the WAL written in that period (wal_written_bytes). The follower is started again:
// catch_up_ms until every row committed while it was down was heard (missing must be 0), beside
// start_ms, the first start's time until its first announcement.
//
// The scratch cluster runs with fsync=off (velsupport's PostgresServer) and the server's default
// synchronous_commit=on: a commit returns once its WAL is written (not forced to disk), and a
// logical decoder reads only WAL that was flushed, so with synchronous_commit=off the follower's
// lag would include the WAL writer's delay (about 200 ms; PGOPTIONS='-c synchronous_commit=off'
// shows it). The rates are reached with fsync off and, at 5,000/s, ten rows to a transaction.
//
// Run: build/default/bench/follow_bench. VELBENCH_FOLLOW_SECONDS (default 5) sets the length of
// each CommitToHeard run; VELBENCH_FOLLOW_DOWN_SECONDS (default 60) how long the follower is down.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "caching/CacheTags.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsupport/PostgresServer.h"
#include "velsupport/RedisServer.h"

extern char** environ;

using namespace velmora::caching;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kSlot[] = "velcache_follow";

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double EnvSeconds(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (!text) return fallback;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    return end != text && value > 0 ? value : fallback;
}

// The cluster of the program, started on first use from the main thread (the benchmarks run
// there) and stopped when the program exits.
velsupport::PostgresServer* Pg(benchmark::State& state) {
    static velsupport::PostgresServer s_server;
    static const std::string s_error = s_server.Start();
    if (!s_error.empty()) state.SkipWithError(s_error.c_str());
    return s_error.empty() ? &s_server : nullptr;
}

// A database of its own for one benchmark, with the table items; dropped (with the slot a
// follower made in it) when it goes.
class Database {
public:
    explicit Database(velsupport::PostgresServer& pg) : m_pg(pg) {
        static int s_count = 0;
        m_name = "follow_bench_" + std::to_string(++s_count);
        m_pg.Sql("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)", &m_error);
        if (m_error.empty()) m_pg.Sql("CREATE DATABASE " + m_name, &m_error);
        if (m_error.empty())
            m_pg.Sql("CREATE TABLE items (id bigint PRIMARY KEY, v int)", &m_error, m_name);
    }
    // Waits for the slot's reader to let go (a killed follower's server process notices its
    // closed connection), so that the slot goes with the database.
    ~Database() {
        const Clock::time_point end = Clock::now() + std::chrono::seconds(10);
        while (m_pg.Sql(std::string("SELECT active FROM pg_replication_slots WHERE slot_name = '") +
                        kSlot + "'") == "t" &&
               Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        m_pg.Sql("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)");
    }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    const std::string& Name() const { return m_name; }
    const std::string& Error() const { return m_error; }

private:
    velsupport::PostgresServer& m_pg;
    std::string m_name;
    std::string m_error;
};

// A plain libpq connection (not a replication one).
class Connection {
public:
    explicit Connection(const std::string& conninfo) : m_conn(PQconnectdb(conninfo.c_str())) {}
    ~Connection() { PQfinish(m_conn); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Empty when connected, else libpq's message.
    std::string Error() const {
        return PQstatus(m_conn) == CONNECTION_OK ? "" : PQerrorMessage(m_conn);
    }
    // The first column of the first row ("" when none); raises on an error.
    std::string Value(const std::string& sql) {
        PGresult* r = PQexec(m_conn, sql.c_str());
        const ExecStatusType status = PQresultStatus(r);
        std::string value;
        if (status == PGRES_TUPLES_OK && PQntuples(r) > 0) value = PQgetvalue(r, 0, 0);
        const std::string error = PQresultErrorMessage(r);
        PQclear(r);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
            throw std::runtime_error(sql + ": " + error);
        return value;
    }
    // Every column of the first row; raises on an error or when there is none.
    std::vector<std::string> Row(const std::string& sql) {
        PGresult* r = PQexec(m_conn, sql.c_str());
        std::vector<std::string> row;
        if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0)
            for (int c = 0; c < PQnfields(r); ++c) row.emplace_back(PQgetvalue(r, 0, c));
        const std::string error = PQresultErrorMessage(r);
        PQclear(r);
        if (row.empty()) throw std::runtime_error(sql + ": " + (error.empty() ? "no row" : error));
        return row;
    }
    // Inserts the rows first..last in one statement, so one transaction; "" once it committed.
    std::string Insert(long long first, long long last) {
        if (!m_prepared) {
            PGresult* r = PQprepare(m_conn, "insert",
                                    "INSERT INTO items (id, v) SELECT g, 0 FROM "
                                    "generate_series($1::bigint, $2::bigint) AS g",
                                    2, nullptr);
            const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
            const std::string error = PQresultErrorMessage(r);
            PQclear(r);
            if (!ok) return error;
            m_prepared = true;
        }
        const std::string a = std::to_string(first), b = std::to_string(last);
        const char* values[] = {a.c_str(), b.c_str()};
        PGresult* r = PQexecPrepared(m_conn, "insert", 2, values, nullptr, nullptr, 0);
        const std::string error =
            PQresultStatus(r) == PGRES_COMMAND_OK ? "" : PQresultErrorMessage(r);
        PQclear(r);
        return error;
    }

private:
    PGconn* m_conn;
    bool m_prepared = false;
};

// The CPU time (user + system) of process `pid` so far, seconds; -1 when it cannot be read.
double ProcessCpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    const std::size_t name = stat.rfind(')');  // the command's name may hold anything
    if (name == std::string::npos) return -1;
    std::istringstream fields(stat.substr(name + 1));
    std::string skipped;
    for (int i = 0; i < 11; ++i) fields >> skipped;  // state .. cmajflt
    unsigned long long user = 0, system = 0;
    if (!(fields >> user >> system)) return -1;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// What a process holding caches hears: when each "items:<id>" (ids 1..maxId) was heard first,
// and whether the table's own tag was (a follower that created its slot announces it).
class Heard {
public:
    Heard(std::shared_ptr<TagInvalidations> tags, long long maxId)
        : m_tags(std::move(tags)), m_at(static_cast<std::size_t>(maxId) + 1) {
        m_listener = m_tags->AddListener(
            [this](const std::string&, const std::string& tag, TagStamp) { Note(tag); });
    }
    ~Heard() { m_tags->RemoveListener(m_listener); }
    Heard(const Heard&) = delete;
    Heard& operator=(const Heard&) = delete;

    bool Table() const { return m_table.load(); }
    // Distinct rows heard.
    long long Count() const { return m_count.load(); }
    // When row `id` was heard first (NowNs); 0 when not yet.
    long long At(long long id) const { return m_at[static_cast<std::size_t>(id)].load(); }
    // Waits until `count` rows were heard or `until` passes; whether they were.
    bool WaitFor(long long count, Clock::time_point until) const {
        while (Count() < count) {
            if (Clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }
    bool WaitForTable(Clock::time_point until) const {
        while (!Table()) {
            if (Clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

private:
    void Note(const std::string& tag) {
        const long long now = NowNs();
        if (tag == "items") {
            m_table = true;
            return;
        }
        constexpr std::string_view prefix = "items:";
        if (tag.compare(0, prefix.size(), prefix) != 0) return;
        long long id = 0;
        const char* begin = tag.data() + prefix.size();
        const char* end = tag.data() + tag.size();
        if (std::from_chars(begin, end, id).ptr != end || id < 1 ||
            static_cast<std::size_t>(id) >= m_at.size())
            return;
        long long never = 0;
        if (m_at[static_cast<std::size_t>(id)].compare_exchange_strong(never, now)) ++m_count;
    }

    std::shared_ptr<TagInvalidations> m_tags;
    std::vector<std::atomic<long long>> m_at;
    std::atomic<long long> m_count{0};
    std::atomic<bool> m_table{false};
    std::uint64_t m_listener = 0;
};

// velcache-follow as a child process, its output in a log file of its own.
class FollowerProcess {
public:
    FollowerProcess(const velsupport::PostgresServer& pg, const std::string& db, int redisPort) {
        m_args = {
            VELBENCH_FOLLOW,
            "--postgres",
            "host=127.0.0.1 port=" + std::to_string(pg.Port()) + " user=postgres dbname=" + db,
            "--redis",
            "127.0.0.1:" + std::to_string(redisPort),
            "--table",
            "items"};
        // The caller's environment without libpq's variables, plus the password.
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "PG", 2) != 0) m_env.emplace_back(*e);
        m_env.push_back("PGPASSWORD=" + pg.Password());
        char path[] = "/tmp/follow_bench.XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) {
            ::close(fd);
            m_log = path;
        }
    }
    ~FollowerProcess() {
        Kill();
        if (!m_log.empty()) ::unlink(m_log.c_str());
    }
    FollowerProcess(const FollowerProcess&) = delete;
    FollowerProcess& operator=(const FollowerProcess&) = delete;

    // Starts it; false when it could not be.
    bool Start() {
        std::vector<char*> argv, envp;
        for (std::string& a : m_args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : m_env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const int log = m_log.empty() ? -1 : ::open(m_log.c_str(), O_WRONLY | O_APPEND);
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid == 0) {
            // Goes with the benchmark, however it ends.
            if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(126);
            if (log >= 0) {
                ::dup2(log, 1);
                ::dup2(log, 2);
            }
            ::close_range(3, ~0U, 0);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        if (log >= 0) ::close(log);
        return m_pid > 0;
    }
    // SIGKILL, and reaps it.
    void Kill() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    pid_t Pid() const { return m_pid; }
    // The end of what it said, for an error message.
    std::string LogTail() const {
        std::ifstream file(m_log);
        const std::string text((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
        return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
    }

private:
    std::vector<std::string> m_args, m_env;
    std::string m_log;
    pid_t m_pid = -1;
};

// Transactions of `rows` new rows each, the k-th due at start + k / perSecond (at once when
// late), ids from `firstId`, until `length` has passed since the start.
struct Schedule {
    long long firstId = 1;
    int rows = 1;
    double perSecond = 100;
    Clock::duration length{};
};

// What a writer did: committedAt[id] is when the statement inserting row id returned (NowNs).
struct Written {
    long long rows = 0;
    Clock::time_point start, last;
    double announceCpuSeconds = 0;  // this thread's CPU inside Invalidate
    std::string error;

    // Rows a second over the schedule's length (or longer, when the writer fell behind).
    double Rate(const Schedule& s) const {
        return static_cast<double>(rows) / std::max(Seconds(s.length), Seconds(last - start));
    }
};

// Runs `schedule` on `connection`, after each commit announcing the rows' tags on `announce`
// when there is one. Call on a thread of its own.
Written Write(Connection& connection, const Schedule& schedule, std::vector<long long>& committedAt,
              TagInvalidations* announce) {
    Written w;
    w.start = w.last = Clock::now();
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / schedule.perSecond));
    const Clock::time_point end = w.start + schedule.length;
    std::vector<std::string> tags;
    for (long long k = 0;; ++k) {
        const Clock::time_point due = w.start + k * interval;
        if (due >= end || Clock::now() >= end) break;
        std::this_thread::sleep_until(due);
        const long long first = schedule.firstId + w.rows;
        const long long last = first + schedule.rows - 1;
        if (announce) {
            tags.clear();
            for (long long id = first; id <= last; ++id)
                tags.push_back("items:" + std::to_string(id));
        }
        w.error = connection.Insert(first, last);
        if (!w.error.empty()) break;
        w.last = Clock::now();
        const long long at = NowNs();
        for (long long id = first; id <= last; ++id) committedAt[static_cast<std::size_t>(id)] = at;
        w.rows += schedule.rows;
        if (announce) {
            const double before = ThreadCpuSeconds();
            announce->Invalidate(tags);
            w.announceCpuSeconds += ThreadCpuSeconds() - before;
        }
    }
    return w;
}

// The lags (ms) of rows first..last, sorted; the rows never heard are left out.
std::vector<double> Lags(const Heard& heard, const std::vector<long long>& committedAt,
                         long long first, long long last) {
    std::vector<double> lags;
    for (long long id = first; id <= last; ++id)
        if (const long long at = heard.At(id); at != 0)
            lags.push_back(static_cast<double>(at - committedAt[static_cast<std::size_t>(id)]) /
                           1e6);
    std::sort(lags.begin(), lags.end());
    return lags;
}

// The value at fraction `q` of sorted `values` (nearest rank); 0 when empty.
double Quantile(const std::vector<double>& values, double q) {
    if (values.empty()) return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// Who announces the rows.
enum class Announcer { Follower, Writer };

// What every benchmark here stands on: a redis-server of its own, a database of its own on the
// cluster, and a listener of the tags "items:<id>" up to `maxId` on its own subscription.
struct Stage {
    velsupport::RedisServer redis;
    std::unique_ptr<Database> db;
    std::unique_ptr<RedisSubscriptionManager> listenSide;
    std::unique_ptr<Heard> heard;

    // False (the benchmark skipped, saying why) when a part could not be set up.
    bool Set(velsupport::PostgresServer& pg, long long maxId, benchmark::State& state) {
        if (const std::string error = redis.Start(); !error.empty()) {
            state.SkipWithError(error.c_str());
            return false;
        }
        db = std::make_unique<Database>(pg);
        if (!db->Error().empty()) {
            state.SkipWithError(db->Error().c_str());
            return false;
        }
        listenSide = std::make_unique<RedisSubscriptionManager>(redis.MakeConfig());
        heard = std::make_unique<Heard>(TagInvalidations::OverRedis(*listenSide), maxId);
        return true;
    }
};

void CommitToHeard(benchmark::State& state, Announcer who) {
    velsupport::PostgresServer* pg = Pg(state);
    if (!pg) return;
    const long long rate = state.range(0);
    Schedule schedule;
    schedule.rows = rate >= 1000 ? 10 : 1;
    schedule.perSecond = static_cast<double>(rate) / schedule.rows;
    schedule.length = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(EnvSeconds("VELBENCH_FOLLOW_SECONDS", 5)));
    const auto maxId =
        static_cast<long long>(std::ceil(Seconds(schedule.length) * static_cast<double>(rate))) +
        schedule.rows;

    Stage stage;
    if (!stage.Set(*pg, maxId, state)) return;
    velsupport::RedisServer& redis = stage.redis;
    Database& db = *stage.db;
    Heard& heard = *stage.heard;

    std::unique_ptr<FollowerProcess> follower;
    pid_t walsender = -1;
    std::unique_ptr<RedisSubscriptionManager> writerSide;
    std::shared_ptr<TagInvalidations> announce;
    Connection connection(pg->ConnInfo(db.Name()));
    if (const std::string error = connection.Error(); !error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    if (who == Announcer::Follower) {
        follower = std::make_unique<FollowerProcess>(*pg, db.Name(), redis.Port());
        if (!follower->Start() || !heard.WaitForTable(Clock::now() + std::chrono::seconds(30))) {
            state.SkipWithError(("velcache-follow did not follow: " + follower->LogTail()).c_str());
            return;
        }
        try {
            const std::string pid =
                connection.Value(std::string("SELECT active_pid FROM pg_replication_slots WHERE "
                                             "slot_name = '") +
                                 kSlot + "'");
            walsender = pid.empty() ? -1 : static_cast<pid_t>(std::stol(pid));
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
    } else {
        writerSide = std::make_unique<RedisSubscriptionManager>(redis.MakeConfig());
        announce = TagInvalidations::OverRedis(*writerSide);
    }

    std::vector<long long> committedAt(static_cast<std::size_t>(maxId) + 1);
    Written written;
    double followerCpu = 0, walsenderCpu = 0, window = 0;
    for (auto _ : state) {
        const double followerBefore = follower ? ProcessCpuSeconds(follower->Pid()) : 0;
        const double walsenderBefore = walsender > 0 ? ProcessCpuSeconds(walsender) : 0;
        std::thread writer(
            [&] { written = Write(connection, schedule, committedAt, announce.get()); });
        writer.join();
        if (!written.error.empty()) {
            state.SkipWithError(written.error.c_str());
            break;
        }
        heard.WaitFor(written.rows, written.last + std::chrono::seconds(30));
        // The run: from the first commit until the last row was heard (or the wait gave up).
        Clock::time_point end = written.last;
        for (long long id = 1; id <= written.rows; ++id)
            if (const long long at = heard.At(id); at != 0)
                end = std::max(end, Clock::time_point(std::chrono::nanoseconds(at)));
        window = Seconds(end - written.start);
        if (follower) followerCpu = ProcessCpuSeconds(follower->Pid()) - followerBefore;
        if (walsender > 0) walsenderCpu = ProcessCpuSeconds(walsender) - walsenderBefore;
        state.SetIterationTime(window);
    }
    if (!written.error.empty()) return;

    const std::vector<double> lags = Lags(heard, committedAt, 1, written.rows);
    const double achieved = written.Rate(schedule);
    state.counters["p50_ms"] = Quantile(lags, 0.50);
    state.counters["p99_ms"] = Quantile(lags, 0.99);
    state.counters["max_ms"] = lags.empty() ? 0 : lags.back();
    state.counters["changes_per_s"] = achieved;
    state.counters["rate_kept"] = achieved >= 0.95 * static_cast<double>(rate) ? 1 : 0;
    state.counters["missing"] =
        static_cast<double>(written.rows) - static_cast<double>(lags.size());
    const double perThousand = achieved / 1000;
    if (follower) {
        const double cpuMsPerS = followerCpu * 1000 / window;
        state.counters["follower_cpu_ms_per_s"] = cpuMsPerS;
        state.counters["follower_cpu_ms_per_s_per_1k"] = cpuMsPerS / perThousand;
        if (walsender > 0) state.counters["walsender_cpu_ms_per_s"] = walsenderCpu * 1000 / window;
    } else {
        const double cpuMsPerS = written.announceCpuSeconds * 1000 / window;
        state.counters["announce_cpu_ms_per_s"] = cpuMsPerS;
        state.counters["announce_cpu_ms_per_s_per_1k"] = cpuMsPerS / perThousand;
    }
}

void WalKeptWhileDown(benchmark::State& state) {
    velsupport::PostgresServer* pg = Pg(state);
    if (!pg) return;
    Schedule schedule;
    schedule.firstId = 2;  // row 1 is committed while the follower follows
    schedule.rows = 10;
    schedule.perSecond = 100;
    schedule.length = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(EnvSeconds("VELBENCH_FOLLOW_DOWN_SECONDS", 60)));
    const double rate = schedule.perSecond * schedule.rows;
    const auto maxId = static_cast<long long>(std::ceil(Seconds(schedule.length) * rate)) +
                       schedule.firstId + schedule.rows;

    Stage stage;
    if (!stage.Set(*pg, maxId, state)) return;
    velsupport::RedisServer& redis = stage.redis;
    Database& db = *stage.db;
    Heard& heard = *stage.heard;
    Connection connection(pg->ConnInfo(db.Name()));
    if (const std::string error = connection.Error(); !error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    FollowerProcess follower(*pg, db.Name(), redis.Port());
    const Clock::time_point started = Clock::now();
    if (!follower.Start() || !heard.WaitForTable(started + std::chrono::seconds(30))) {
        state.SkipWithError(("velcache-follow did not follow: " + follower.LogTail()).c_str());
        return;
    }
    const double startMs = Seconds(Clock::now() - started) * 1000;
    if (const std::string error = connection.Insert(1, 1);
        !error.empty() || !heard.WaitFor(1, Clock::now() + std::chrono::seconds(30))) {
        state.SkipWithError(("row 1 was not heard: " + error).c_str());
        return;
    }

    std::vector<long long> committedAt(static_cast<std::size_t>(maxId) + 1);
    Written written;
    std::vector<std::string> slot;
    double catchUpMs = 0;
    for (auto _ : state) {
        follower.Kill();
        std::string before;
        try {
            before = connection.Value("SELECT pg_current_wal_lsn()");
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
        std::thread writer([&] { written = Write(connection, schedule, committedAt, nullptr); });
        writer.join();
        if (!written.error.empty()) {
            state.SkipWithError(written.error.c_str());
            break;
        }
        try {
            slot = connection.Row(
                "SELECT pg_wal_lsn_diff(pg_current_wal_lsn(), restart_lsn), "
                "pg_wal_lsn_diff(pg_current_wal_lsn(), confirmed_flush_lsn), "
                "pg_wal_lsn_diff(pg_current_wal_lsn(), '" +
                before + "') FROM pg_replication_slots WHERE slot_name = '" + kSlot + "'");
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
        const Clock::time_point restarted = Clock::now();
        if (!follower.Start()) {
            state.SkipWithError("velcache-follow did not start again");
            break;
        }
        heard.WaitFor(1 + written.rows, restarted + std::chrono::minutes(5));
        Clock::time_point end = restarted;
        for (long long id = schedule.firstId; id < schedule.firstId + written.rows; ++id)
            if (const long long at = heard.At(id); at != 0)
                end = std::max(end, Clock::time_point(std::chrono::nanoseconds(at)));
        catchUpMs = Seconds(end - restarted) * 1000;
        state.SetIterationTime(catchUpMs / 1000);
    }
    if (!written.error.empty() || slot.size() != 3) return;

    const std::vector<double> lags =
        Lags(heard, committedAt, schedule.firstId, schedule.firstId + written.rows - 1);
    const double achieved = written.Rate(schedule);
    const auto bytes = [](const std::string& text) {
        return benchmark::Counter(std::strtod(text.c_str(), nullptr), benchmark::Counter::kDefaults,
                                  benchmark::Counter::kIs1024);
    };
    state.counters["wal_kept_bytes"] = bytes(slot[0]);
    state.counters["wal_unconfirmed_bytes"] = bytes(slot[1]);
    state.counters["wal_written_bytes"] = bytes(slot[2]);
    state.counters["changes_per_s"] = achieved;
    state.counters["rate_kept"] = achieved >= 0.95 * rate ? 1 : 0;
    state.counters["rows_down"] = static_cast<double>(written.rows);
    state.counters["catch_up_ms"] = catchUpMs;
    state.counters["start_ms"] = startMs;
    state.counters["missing"] =
        static_cast<double>(written.rows) - static_cast<double>(lags.size());
}

// Each rate's follower run beside its baseline.
[[maybe_unused]] const bool g_registered = [] {
    for (const long long rate : {100LL, 5000LL}) {
        benchmark::RegisterBenchmark("CommitToHeard/follower", CommitToHeard, Announcer::Follower)
            ->ArgName("rate")
            ->Arg(rate)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("CommitToHeard/writer_announces", CommitToHeard,
                                     Announcer::Writer)
            ->ArgName("rate")
            ->Arg(rate)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("WalKeptWhileDown", WalKeptWhileDown)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
