#include "data/DataGenerator.h"

#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "data/Database.h"

namespace demo {

namespace {

// The table that tells a database of ours from anyone else's.
constexpr const char* kMarkerTable = "velcache_demo_generated";

bool HasMarkerTable(const std::string& path) {
    sqlite3* db = nullptr;
    bool found = false;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        const std::string sql = std::string(
                                    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND "
                                    "name = '") +
                                kMarkerTable + "'";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK)
            found = sqlite3_step(statement) == SQLITE_ROW;
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return found;
}

}  // namespace

bool DataGenerator::MayReplace(const std::string& path, std::string& why) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) return true;
    if (!std::filesystem::is_regular_file(status)) {
        why = "it is not a regular file";
        return false;
    }
    if (std::filesystem::file_size(path, error) == 0 && !error) return true;
    char header[16] = {};
    std::ifstream(path, std::ios::binary).read(header, sizeof header);
    if (std::memcmp(header, "SQLite format 3", 16) != 0) {
        why = "it is not an SQLite database";
        return false;
    }
    if (!HasMarkerTable(path)) {
        why = "it is an SQLite database the main job did not generate";
        return false;
    }
    return true;
}

namespace {

// The sales rows: one statement a row on SQLite (a file: fast), a thousand rows to a statement on
// a server (a round trip each).
class SalesWriter {
public:
    explicit SalesWriter(Database& db)
        : m_db(db), m_statement(db, "INSERT INTO sales VALUES(?, ?, ?, ?, ?, ?)") {}
    ~SalesWriter() { Flush(); }
    void Add(const std::int64_t (&row)[6]) {
        if (!m_db.IsPostgres()) {
            for (int i = 0; i < 6; ++i) m_statement.Bind(i + 1, row[i]);
            m_statement.Step();
            m_statement.Reset();
            return;
        }
        m_batch += m_batch.empty() ? "INSERT INTO sales VALUES" : ",";
        for (int i = 0; i < 6; ++i) m_batch += (i ? "," : "(") + std::to_string(row[i]);
        m_batch += ")";
        if (++m_rows == 1000) Flush();
    }
    void Flush() {
        if (m_batch.empty()) return;
        m_db.Exec(m_batch);
        m_batch.clear();
        m_rows = 0;
    }

private:
    Database& m_db;
    Statement m_statement;
    std::string m_batch;
    int m_rows = 0;
};

}  // namespace

void DataGenerator::Write(const std::string& where) const {
    const bool server = Database::IsServer(where);
    if (std::string why; !server && !MayReplace(where, why))
        throw std::runtime_error("will not replace " + where + ": " + why);
    if (!server)
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(where + suffix);
    Database db(where);
    if (server)  // the run's own database: what an earlier run left goes
        db.Exec(std::string("DROP TABLE IF EXISTS sales, products, categories, regions, "
                            "query_versions, changes, query_rows, ") +
                kMarkerTable);
    db.Exec(
        "CREATE TABLE regions(id INTEGER PRIMARY KEY, name TEXT NOT NULL);"
        "CREATE TABLE categories(id INTEGER PRIMARY KEY, name TEXT NOT NULL);"
        "CREATE TABLE products(id INTEGER PRIMARY KEY, name TEXT NOT NULL,"
        "  category_id INTEGER NOT NULL REFERENCES categories(id));"
        "CREATE TABLE sales(id INTEGER PRIMARY KEY, region_id INTEGER NOT NULL,"
        "  product_id INTEGER NOT NULL, month INTEGER NOT NULL, quantity INTEGER NOT NULL,"
        "  amount INTEGER NOT NULL);"
        "CREATE TABLE query_versions(qid INTEGER PRIMARY KEY, version INTEGER NOT NULL);"
        "CREATE TABLE changes(qid INTEGER NOT NULL, version INTEGER NOT NULL,"
        "  update_id INTEGER NOT NULL, committed_at INTEGER NOT NULL, announced_at INTEGER,"
        "  PRIMARY KEY(qid, version));"
        "CREATE TABLE query_rows(qid INTEGER NOT NULL, version INTEGER NOT NULL,"
        "  rows BLOB NOT NULL, PRIMARY KEY(qid, version));");
    db.Exec(std::string("CREATE TABLE ") + kMarkerTable + "(seed INTEGER NOT NULL);" +
            "INSERT INTO " + kMarkerTable + " VALUES(" +
            std::to_string(static_cast<std::int64_t>(m_seed)) + ")");

    std::mt19937_64 random(m_seed);
    db.Exec("BEGIN");
    {
        Statement regionRow(db, "INSERT INTO regions VALUES(?, 'region ' || ?)");
        for (int r = 1; r <= m_shape.regions; ++r) {
            regionRow.Bind(1, r);
            regionRow.Bind(2, r);
            regionRow.Step();
            regionRow.Reset();
        }
        Statement category(db, "INSERT INTO categories VALUES(?, 'category ' || ?)");
        for (int c = 1; c <= m_shape.categories; ++c) {
            category.Bind(1, c);
            category.Bind(2, c);
            category.Step();
            category.Reset();
        }
        Statement product(db, "INSERT INTO products VALUES(?, 'product ' || ?, ?)");
        for (int p = 1; p <= m_shape.products; ++p) {
            product.Bind(1, p);
            product.Bind(2, p);
            product.Bind(3, 1 + (p - 1) % m_shape.categories);
            product.Step();
            product.Reset();
        }
        // Some regions and products sell more than others, so that the aggregates differ.
        std::uniform_int_distribution<int> region(1, m_shape.regions);
        std::geometric_distribution<int> popular(0.08);
        std::uniform_int_distribution<int> month(1, m_shape.months);
        std::uniform_int_distribution<int> quantity(1, 20);
        std::uniform_int_distribution<int> price(199, 99999);
        SalesWriter sales(db);
        for (int id = 1; id <= m_shape.salesRows; ++id) {
            const int q = quantity(random);
            // In this order: the random draws make the same rows on every backend.
            const std::int64_t r = region(random);
            const std::int64_t p = 1 + popular(random) % m_shape.products;
            const std::int64_t m = month(random);
            sales.Add({id, r, p, m, q, static_cast<std::int64_t>(q) * price(random)});
        }
    }
    db.Exec("COMMIT");
    db.Exec(
        "CREATE INDEX sales_region_month ON sales(region_id, month, product_id, amount, quantity);"
        "CREATE INDEX sales_product_month ON sales(product_id, month, region_id, amount, quantity);"
        "ANALYZE;");
    // The old row of a change carries every column, so that a reader of the commit log knows
    // where the row sat before.
    if (server) db.Exec("ALTER TABLE sales REPLICA IDENTITY FULL");
}

}  // namespace demo
