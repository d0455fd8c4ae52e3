// The demo host's database handles: what a long-running worker's queries leave to the allocator.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "SalesDbTest.h"
#include "data/Database.h"
#include "data/Sqlite.h"

namespace demo {
namespace {

// A worker's grouped queries sort in SQLite's sorter, which grew one buffer to the page cache's
// size (2 MiB) on whichever thread ran the query. Freed, a block that large raises glibc's mmap
// threshold to it, and every arena may then keep up to twice that at its top.
TEST(SqliteDb, SortsOfAWorkersQueryAskedTheAllocatorForMegabyteBlocks) {
    char pattern[] = "/tmp/velcache-sqlite.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path dir(pattern);
    {
        SqliteDb db((dir / "sort.db").string());
        db.Exec("CREATE TABLE t(k INTEGER NOT NULL, v INTEGER NOT NULL)");
        db.Exec(
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200000) "
            "INSERT INTO t SELECT (i * 7919) % 50000, i FROM n");
        sqlite3_int64 current = 0, largest = 0;
        ASSERT_EQ(sqlite3_status64(SQLITE_STATUS_MALLOC_SIZE, &current, &largest, 1), SQLITE_OK);
        // No index on k: the rows go through the sorter, several MiB of them.
        SqliteStatement grouped(db,
                                "SELECT k, SUM(v) AS total FROM t GROUP BY k "
                                "ORDER BY total DESC, k LIMIT 5");
        int rows = 0;
        while (grouped.Step()) ++rows;
        EXPECT_EQ(rows, 5);
        ASSERT_EQ(sqlite3_status64(SQLITE_STATUS_MALLOC_SIZE, &current, &largest, 0), SQLITE_OK);
        EXPECT_LT(largest, 128 * 1024) << "largest single allocation of the sort";
    }
    std::filesystem::remove_all(dir);
}

// The writer, a reader and the catalogue's connection, as a run opens them.
class WriteAheadLog : public SalesDbTest {
protected:
    WriteAheadLog() : SalesDbTest(5) {}
    // PRAGMA wal_checkpoint from a connection of its own: the frames in the log and those
    // copied back into the database.
    std::pair<std::int64_t, std::int64_t> Checkpoint() {
        SqliteDb other(m_path);
        SqliteStatement checkpoint(other, "PRAGMA wal_checkpoint(PASSIVE)");
        EXPECT_TRUE(checkpoint.Step());
        const std::pair<std::int64_t, std::int64_t> frames{checkpoint.Column(1),
                                                           checkpoint.Column(2)};
        checkpoint.Reset();
        return frames;
    }
};

// The writer kept the statement that read the number of sales rows stepped, and so a read
// snapshot open, for the whole run. No checkpoint could copy a page past that snapshot back into
// the database: the log grew by 16 MiB a minute, and every process mapped its growing index.
TEST_F(WriteAheadLog, AStatementTheWriterLeftSteppedKeptTheLogFromEverBeingCheckpointed) {
    ASSERT_GT(m_recorder->SalesRows(), 0);
    for (std::int64_t id = 1; id <= 200; ++id) {
        m_recorder->Apply(1 + id % m_recorder->SalesRows(), 7);
        m_reader->Compute(QueryId("top-products:1:0"));  // the readers' statements too
    }
    const auto [frames, copied] = Checkpoint();
    EXPECT_GT(frames, 0);
    EXPECT_EQ(copied, frames) << "a connection holds an old snapshot";
}

// A connection compiled one statement per catalogue query, the same few SQL texts hundreds of
// times, and kept each: about 1 MiB per connection, reached only as the rarest queries came up,
// so a worker's heap climbed for hours.
class QueryStatements : public SalesDbTest {
protected:
    QueryStatements() : SalesDbTest(11) {}
    static int Prepared(Database& db) {
        int count = 0;
        sqlite3* handle = db.Backend().SqliteHandle();
        for (sqlite3_stmt* s = sqlite3_next_stmt(handle, nullptr); s;
             s = sqlite3_next_stmt(handle, s))
            ++count;
        return count;
    }
};

TEST_F(QueryStatements, AConnectionCompiledEveryQueryOfTheCatalogueApart) {
    const int before = Prepared(m_reader->Db());
    int base = 0;
    for (const Query& query : m_catalogue->All()) {
        if (query.Derived()) continue;
        ++base;
        // Bound anew each time: the same rows as a connection that ran nothing before.
        EXPECT_EQ(m_reader->Compute(query.id)->rows,
                  QueryRunner(m_path, *m_catalogue).Compute(query.id)->rows)
            << query.key;
    }
    ASSERT_GT(base, 100);
    EXPECT_LE(Prepared(m_reader->Db()) - before, static_cast<int>(m_catalogue->StatementCount()));
}

}  // namespace
}  // namespace demo
