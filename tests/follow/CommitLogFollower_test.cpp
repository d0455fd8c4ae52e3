// The commit-log follower against a real PostgreSQL (one private cluster for this binary) and a
// real redis-server (one per test): what committed transactions announce, and what a killed
// follower, a server restart, a Redis outage, a second follower and bad set-ups do.
#include "follow/CommitLogFollower.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "caching/CacheTags.h"
#include "caching/ReadThroughCache.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsupport/PostgresServer.h"

using namespace velmora::caching;
using veltest::Eventually;

namespace {

// The cluster of this binary, started before the first test and stopped after the last.
class PostgresEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        s_server = std::make_unique<velsupport::PostgresServer>();
        s_error = s_server->Start();
    }
    void TearDown() override { s_server.reset(); }
    static velsupport::PostgresServer& Server() { return *s_server; }
    static const std::string& Error() { return s_error; }

private:
    static inline std::unique_ptr<velsupport::PostgresServer> s_server;
    static inline std::string s_error;
};

[[maybe_unused]] auto* const g_postgres =
    ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);

// What a process of the namespace hears: every tag, in order.
class Heard {
public:
    explicit Heard(TagInvalidations& tags) {
        tags.AddListener([this](const std::string&, const std::string& tag, TagStamp) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!tag.empty()) m_tags.insert(tag);
        });
    }
    bool Has(const std::string& tag) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tags.count(tag) != 0;
    }
    std::size_t Count(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<std::size_t>(std::count_if(
            m_tags.begin(), m_tags.end(), [&](auto& t) { return t.rfind(prefix, 0) == 0; }));
    }
    bool EventuallyHas(const std::string& tag) const {
        return Eventually([&] { return Has(tag); });
    }

private:
    mutable std::mutex m_mutex;
    std::set<std::string> m_tags;
};

// The side of a process that holds caches, and the side of the follower, each with its own
// subscription; a database of its own per test, with the table "items".
class Follower : public veltest::RedisServerTest {
protected:
    void SetUp() override {
        ASSERT_EQ(PostgresEnvironment::Error(), "") << "the private PostgreSQL did not start";
        RedisServerTest::SetUp();
        m_config = Server().MakeConfig();
        m_cacheSide = std::make_unique<RedisSubscriptionManager>(m_config);
        m_listen = TagInvalidations::OverRedis(*m_cacheSide);
        m_heard = std::make_unique<Heard>(*m_listen);
        m_followerSide = std::make_unique<RedisSubscriptionManager>(m_config);
        m_announce = TagInvalidations::OverRedis(*m_followerSide);
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_db = "t_" + std::to_string(std::hash<std::string>()(name) % 1000000000);
        Sql("DROP DATABASE IF EXISTS " + m_db + " WITH (FORCE)", "postgres");
        Sql("CREATE DATABASE " + m_db, "postgres");
        Sql("CREATE TABLE items (id int PRIMARY KEY, region text, qty int)");
    }
    void TearDown() override {
        for (const pid_t pid : m_commands) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        m_followers.clear();
        Sql("DROP DATABASE IF EXISTS " + m_db + " WITH (FORCE)", "postgres");
    }

    static velsupport::PostgresServer& Pg() { return PostgresEnvironment::Server(); }

    std::string Sql(const std::string& sql, const std::string& db = "") {
        std::string error;
        const std::string out = Pg().Sql(sql, &error, db.empty() ? m_db : db);
        EXPECT_EQ(error, "") << sql;
        return out;
    }

    CommitLogFollowerOptions Options() {
        CommitLogFollowerOptions o;
        o.conninfo = Pg().ConnInfo(m_db);
        o.tables = {"items"};
        o.mapping = DefaultTagMapping({{"items", {"region"}}});
        o.retryPause = std::chrono::milliseconds(100);
        return o;
    }

    CommitLogFollower& Follow(CommitLogFollowerOptions options) {
        m_followers.push_back(std::make_unique<CommitLogFollower>(std::move(options), m_announce));
        return *m_followers.back();
    }

    // The message of the error constructing a follower raises; "<none>" when it does not.
    std::string StartError(CommitLogFollowerOptions options) {
        try {
            CommitLogFollower follower(std::move(options), m_announce);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "<none>";
    }

    // Starts velcache-follow with `args` and the database's password.
    pid_t StartCommand(const std::vector<std::string>& args) {
        // Made before the fork: the child of a threaded process only execs.
        std::vector<char*> argv{const_cast<char*>(VELTEST_FOLLOW)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const std::string password = "PGPASSWORD=" + Pg().Password();
        std::vector<char*> env{const_cast<char*>(password.c_str())};
        for (char** e = environ; *e; ++e)
            if (std::string_view(*e).rfind("PGPASSWORD=", 0) != 0) env.push_back(*e);
        env.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            execve(VELTEST_FOLLOW, argv.data(), env.data());
            _exit(127);
        }
        m_commands.push_back(pid);
        return pid;
    }
    // Waits for the command `pid` to end; its exit status.
    int Reap(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        m_commands.erase(std::remove(m_commands.begin(), m_commands.end(), pid), m_commands.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    RedisEndpointConfig m_config;
    std::unique_ptr<RedisSubscriptionManager> m_cacheSide, m_followerSide;
    std::shared_ptr<TagInvalidations> m_listen, m_announce;
    std::unique_ptr<Heard> m_heard;
    std::string m_db;
    std::vector<std::unique_ptr<CommitLogFollower>> m_followers;
    std::vector<pid_t> m_commands;  // velcache-follow processes still running
};

// Inserts, updates that keep or move a row, deletes, a truncate and a change of the table's
// definition, each heard by its tags; a rolled-back change is never announced.
TEST_F(Follower, AnnouncesEveryCommittedChangeAndNothingElse) {
    Sql("ALTER TABLE items REPLICA IDENTITY FULL");  // the old region of an update is known
    CommitLogFollower& follower = Follow(Options());
    ASSERT_TRUE(m_heard->EventuallyHas("items")) << "the new slot's gap names the table";

    Sql("BEGIN; INSERT INTO items VALUES (1, 'EU', 5), (2, 'US', 1); COMMIT");
    Sql("BEGIN; INSERT INTO items VALUES (99, 'XX', 0); ROLLBACK");
    Sql("UPDATE items SET region = 'APAC' WHERE id = 1");
    Sql("UPDATE items SET id = 3 WHERE id = 2");
    Sql("ALTER TABLE items ADD COLUMN note text");
    Sql("INSERT INTO items VALUES (4, 'LATAM', 1, 'after the new column')");
    Sql("DELETE FROM items WHERE id = 3");
    for (const char* tag : {"items:1", "items:2", "items:region=EU", "items:region=US",
                            "items:region=APAC", "items:3", "items:4", "items:region=LATAM"})
        EXPECT_TRUE(m_heard->EventuallyHas(tag)) << tag;
    EXPECT_FALSE(m_heard->Has("items:99"));
    EXPECT_FALSE(m_heard->Has("items:region=XX"));
    // Five transactions changed rows (a change of definition alone sends none).
    EXPECT_TRUE(Eventually([&] { return follower.GetCounters().transactions == 5; }));
    EXPECT_EQ(follower.GetCounters().unrenderable, 0);
    EXPECT_EQ(follower.GetCounters().gaps, 1);
}

// Under the default replica identity an update that keeps its key does not send the old row: a
// listed column's old value is not known, so the table's tag goes instead (nothing skipped).
TEST_F(Follower, ARowItCannotRenderInvalidatesItsTable) {
    CommitLogFollower& follower = Follow(Options());
    Sql("INSERT INTO items VALUES (1, 'EU', 5)");
    ASSERT_TRUE(m_heard->EventuallyHas("items:region=EU"));
    const TagStamp before = m_listen->Watermark();
    Sql("UPDATE items SET region = 'US' WHERE id = 1");
    ASSERT_TRUE(Eventually([&] { return follower.GetCounters().unrenderable == 1; }));
    EXPECT_TRUE(Eventually([&] {
        return !m_listen->MayServe("", {{"items"}, before});
    })) << "a value built from the table is dropped";
}

// A load that read the row before the change committed, and fills after the follower's
// announcement was heard, is not kept: the next read loads the new value.
TEST_F(Follower, ALoadThatReadBeforeACommitDoesNotFillAfterItsAnnouncement) {
    CommitLogFollowerOptions byKey = Options();
    byKey.mapping = DefaultTagMapping();
    Follow(byKey);
    Sql("INSERT INTO items VALUES (1, 'EU', 5)");
    ASSERT_TRUE(m_heard->EventuallyHas("items:1"));
    ReadThroughOptions o;
    o.name = "qty";
    o.tags = m_listen;
    ReadThroughCache<std::string> cache(
        o,
        {[](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
         [](const unsigned char* data, std::size_t size) {
             return std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
         }},
        nullptr);
    std::atomic<bool> read{false}, release{false};
    const auto load = [&] {
        std::string qty = Sql("SELECT qty FROM items WHERE id = 1");
        TagLoad("items:1");
        TagLoad("items");
        read = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return qty;
    };
    std::thread racing([&] { EXPECT_EQ(*cache.Get("1", load).value, "5"); });
    ASSERT_TRUE(Eventually([&] { return read.load(); }));
    const TagStamp before = m_listen->Watermark();
    Sql("UPDATE items SET qty = 6 WHERE id = 1");
    ASSERT_TRUE(Eventually([&] { return m_listen->Watermark() > before; }));
    release = true;
    racing.join();
    const auto again = cache.Get("1", [&] { return Sql("SELECT qty FROM items WHERE id = 1"); });
    EXPECT_EQ(*again.value, "6");
    EXPECT_EQ(again.source, ReadThroughSource::Loader);
}

// While Redis is stopped the follower reads on but its position waits; once Redis is back every
// change committed meanwhile is heard.
TEST_F(Follower, ARedisOutageHoldsThePositionAndLosesNothing) {
    CommitLogFollower& follower = Follow(Options());
    Sql("INSERT INTO items VALUES (1, 'EU', 5)");
    ASSERT_TRUE(m_heard->EventuallyHas("items:1"));
    ASSERT_TRUE(Eventually([&] { return follower.GetCounters().confirmed != 0; }));
    Server().Stop();
    Sql("INSERT INTO items VALUES (2, 'US', 1)");
    ASSERT_TRUE(Eventually([&] { return follower.GetCounters().retries > 0; }));
    const std::uint64_t held = follower.GetCounters().confirmed;
    for (int id = 3; id <= 20; ++id)
        Sql("INSERT INTO items VALUES (" + std::to_string(id) + ", 'US', 1)");
    EXPECT_EQ(follower.GetCounters().state, FollowerState::Announcing);
    EXPECT_EQ(follower.GetCounters().confirmed, held) << "moved past what Redis did not take";
    ASSERT_EQ(Server().Start(), "");
    for (int id = 2; id <= 20; ++id)
        EXPECT_TRUE(m_heard->EventuallyHas("items:" + std::to_string(id))) << id;
    EXPECT_TRUE(Eventually([&] { return follower.GetCounters().confirmed > held; }));
}

// A fast shutdown and restart of the database costs a reconnection, not a change.
TEST_F(Follower, ADatabaseRestartCostsTimeNotAChange) {
    CommitLogFollower& follower = Follow(Options());
    Sql("INSERT INTO items VALUES (1, 'EU', 5)");
    ASSERT_TRUE(m_heard->EventuallyHas("items:1"));
    Pg().Stop(SIGINT);
    ASSERT_EQ(Pg().Start(), "");
    Sql("INSERT INTO items VALUES (2, 'US', 5)");
    EXPECT_TRUE(m_heard->EventuallyHas("items:2"));
    EXPECT_GE(follower.GetCounters().reconnects, 1);
    EXPECT_EQ(follower.GetCounters().gaps, 1) << "the slot survived";
}

// One slot, one reader: a second follower waits, and takes over when the first stops.
TEST_F(Follower, ASecondFollowerOnTheSlotWaitsForTheFirst) {
    CommitLogFollower& first = Follow(Options());
    Sql("INSERT INTO items VALUES (1, 'EU', 5)");
    ASSERT_TRUE(m_heard->EventuallyHas("items:1"));
    CommitLogFollower& second = Follow(Options());
    Sql("INSERT INTO items VALUES (2, 'EU', 5)");
    ASSERT_TRUE(m_heard->EventuallyHas("items:2"));
    EXPECT_EQ(second.GetCounters().transactions, 0);
    EXPECT_EQ(second.GetCounters().state, FollowerState::Connecting);
    first.Stop();
    Sql("INSERT INTO items VALUES (3, 'EU', 5)");
    EXPECT_TRUE(m_heard->EventuallyHas("items:3"));
    EXPECT_TRUE(Eventually([&] { return second.GetCounters().transactions >= 1; }));
}

// A transaction of 100,000 rows is announced in batches, each tag at least once.
TEST_F(Follower, AHundredThousandRowTransactionIsAnnouncedInBatches) {
    CommitLogFollowerOptions o = Options();
    o.batchTags = 5000;
    CommitLogFollower& follower = Follow(o);
    Sql("INSERT INTO items SELECT i, 'EU', 1 FROM generate_series(1, 100000) AS i");
    ASSERT_TRUE(Eventually([&] { return m_heard->Count("items:") >= 100001; }))
        << m_heard->Count("items:");
    EXPECT_EQ(follower.GetCounters().changes, 100000);
    EXPECT_GE(follower.GetCounters().announced, 100001);
}

// Set-ups that cannot work fail at once, naming the server and the cause.
TEST_F(Follower, BadSetUpsFailClearly) {
    CommitLogFollowerOptions o = Options();
    const int closed = velsupport::FreeLoopbackPort();
    o.conninfo = "host=127.0.0.1 port=" + std::to_string(closed) + " dbname=x user=x";
    o.connectTimeout = std::chrono::milliseconds(2000);
    std::string error = StartError(o);
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(closed)), std::string::npos) << error;
    EXPECT_NE(error.find("refused"), std::string::npos) << error;

    o = Options();
    o.conninfo = Pg().ConnInfo(m_db) + " password=wrong";
    error = StartError(o);
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(Pg().Port())), std::string::npos) << error;
    EXPECT_NE(error.find("password authentication failed"), std::string::npos) << error;

    Sql("CREATE TABLE keyless (a int, b text)");
    o = Options();
    o.tables = {"items", "keyless"};
    error = StartError(o);
    EXPECT_NE(error.find("keyless"), std::string::npos) << error;
    EXPECT_NE(error.find("neither a primary key nor a replica identity"), std::string::npos)
        << error;

    o.tables = {"nowhere"};
    EXPECT_NE(StartError(o).find("no table \"nowhere\""), std::string::npos);
    o = Options();
    o.create = false;
    EXPECT_NE(StartError(o).find("no publication"), std::string::npos);
}

// ---- the command, killed with SIGKILL ----

// Killed with SIGKILL between transactions, the command resumes from its slot when started again
// and announces what was committed while it was down; stopped with SIGTERM, it exits 0.
TEST_F(Follower, TheCommandKilledResumesFromItsSlot) {
    const std::vector<std::string> args{
        "--postgres",
        "host=127.0.0.1 port=" + std::to_string(Pg().Port()) + " user=postgres dbname=" + m_db,
        "--redis",
        "127.0.0.1:" + std::to_string(m_config.port),
        "--table",
        "items"};
    pid_t pid = StartCommand(args);
    ASSERT_TRUE(m_heard->EventuallyHas("items")) << "the slot it created";
    Sql("INSERT INTO items VALUES (1, 'EU', 5)");
    ASSERT_TRUE(m_heard->EventuallyHas("items:1"));
    kill(pid, SIGKILL);
    EXPECT_EQ(Reap(pid), 128 + SIGKILL);
    for (int id = 2; id <= 30; ++id)
        Sql("INSERT INTO items VALUES (" + std::to_string(id) + ", 'US', 1)");
    pid = StartCommand(args);
    for (int id = 2; id <= 30; ++id)
        EXPECT_TRUE(m_heard->EventuallyHas("items:" + std::to_string(id))) << id;
    kill(pid, SIGTERM);
    EXPECT_EQ(Reap(pid), 0);

    // Bad arguments and an unreachable database have exit codes of their own.
    EXPECT_EQ(Reap(StartCommand({"--redis", "127.0.0.1:1"})), 2);
    EXPECT_EQ(Reap(StartCommand({"--postgres", "host=127.0.0.1 port=1 user=x dbname=x", "--redis",
                                 "127.0.0.1:" + std::to_string(m_config.port)})),
              3);
}

}  // namespace
