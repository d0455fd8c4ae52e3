#include "DataGenerator.h"

#include <filesystem>
#include <random>

#include "Sqlite.h"

namespace demo {

void DataGenerator::Write(const std::string& path) const {
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
