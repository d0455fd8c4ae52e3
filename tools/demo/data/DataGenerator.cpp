#include "data/DataGenerator.h"

#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "data/Sqlite.h"

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

void DataGenerator::Write(const std::string& path) const {
    if (std::string why; !MayReplace(path, why))
        throw std::runtime_error("will not replace " + path + ": " + why);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    SqliteDb db(path);
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
        SqliteStatement regionRow(db, "INSERT INTO regions VALUES(?, 'region ' || ?)");
        for (int r = 1; r <= m_shape.regions; ++r) {
            regionRow.Bind(1, r);
            regionRow.Bind(2, r);
            regionRow.Step();
            regionRow.Reset();
        }
        SqliteStatement category(db, "INSERT INTO categories VALUES(?, 'category ' || ?)");
        for (int c = 1; c <= m_shape.categories; ++c) {
            category.Bind(1, c);
            category.Bind(2, c);
            category.Step();
            category.Reset();
        }
        SqliteStatement product(db, "INSERT INTO products VALUES(?, 'product ' || ?, ?)");
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
        SqliteStatement sale(db, "INSERT INTO sales VALUES(?, ?, ?, ?, ?, ?)");
        for (int id = 1; id <= m_shape.salesRows; ++id) {
            const int q = quantity(random);
            sale.Bind(1, id);
            sale.Bind(2, region(random));
            sale.Bind(3, 1 + popular(random) % m_shape.products);
            sale.Bind(4, month(random));
            sale.Bind(5, q);
            sale.Bind(6, static_cast<std::int64_t>(q) * price(random));
            sale.Step();
            sale.Reset();
        }
    }
    db.Exec("COMMIT");
    db.Exec(
        "CREATE INDEX sales_region_month ON sales(region_id, month, product_id, amount, quantity);"
        "CREATE INDEX sales_product_month ON sales(product_id, month, region_id, amount, quantity);"
        "ANALYZE;");
}

}  // namespace demo
