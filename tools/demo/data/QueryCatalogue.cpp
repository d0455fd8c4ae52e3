#include "data/QueryCatalogue.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "data/Database.h"

namespace demo {

namespace {

int Count(Database& db, const char* table) {
    return static_cast<int>(db.QueryInt(std::string("SELECT COUNT(*) FROM ") + table));
}

std::string Key(const char* family, int a, int b) {
    return std::string(family) + ":" + std::to_string(a) + ":" + std::to_string(b);
}

}  // namespace

QueryCatalogue::QueryCatalogue(Database& db) {
    const int regions = Count(db, "regions");
    const int categories = Count(db, "categories");
    const int products = Count(db, "products");
    m_categoryOf.assign(static_cast<std::size_t>(products) + 1, 0);
    Statement categoryOf(db, "SELECT id, category_id FROM products");
    while (categoryOf.Step())
        m_categoryOf.at(static_cast<std::size_t>(categoryOf.Column(0))) =
            static_cast<int>(categoryOf.Column(1));

    for (int r = 1; r <= regions; ++r)
        for (int m = 1; m <= 12; ++m)
            Add(Family::RegionMonth, r, m, Key("region-month", r, m), "sales",
                "SELECT COALESCE(SUM(amount), 0), COALESCE(SUM(quantity), 0), COUNT(*) FROM sales"
                " WHERE region_id = ?1 AND month = ?2");
    for (int p = 1; p <= products; ++p)
        for (int q = 1; q <= 4; ++q)
            Add(Family::ProductQuarter, p, q, Key("product-quarter", p, q), "sales",
                "SELECT COALESCE(SUM(amount), 0), COALESCE(SUM(quantity), 0) FROM sales"
                " WHERE product_id = ?1 AND month BETWEEN ?2 * 3 - 2 AND ?2 * 3");
    for (int c = 1; c <= categories; ++c)
        for (int r = 1; r <= regions; ++r)
            Add(Family::CategoryRegion, c, r, Key("category-region", c, r), "products+sales",
                "SELECT COALESCE(SUM(s.amount), 0), COUNT(*) FROM sales s"
                " JOIN products p ON p.id = s.product_id"
                " WHERE p.category_id = ?1 AND s.region_id = ?2");
    for (int r = 1; r <= regions; ++r)
        Add(Family::TopProducts, r, 0, Key("top-products", r, 0), "products+sales",
            "SELECT product_id, SUM(amount) AS total FROM sales WHERE region_id = ?1"
            " GROUP BY product_id ORDER BY total DESC, product_id LIMIT 5");
    for (int c = 1; c <= categories; ++c)
        Add(Family::CategoryMonthly, c, 0, Key("category-monthly", c, 0),
            "categories+products+sales",
            "SELECT s.month, SUM(s.amount), SUM(s.quantity) FROM sales s"
            " JOIN products p ON p.id = s.product_id WHERE p.category_id = ?1"
            " GROUP BY s.month ORDER BY s.month");
    Add(Family::Dimension, 0, 0, Key("products-per-category", 0, 0), "categories+products",
        "SELECT c.id, COUNT(p.id) FROM categories c LEFT JOIN products p"
        " ON p.category_id = c.id GROUP BY c.id ORDER BY c.id");
    Add(Family::Dimension, 1, 0, Key("region-count", 1, 0), "regions",
        "SELECT COUNT(*) FROM regions");
    for (int r = 1; r <= regions; ++r)
        for (int m = 1; m <= 12; ++m) {
            std::vector<int> parts;
            for (int other = 1; other <= regions; ++other)
                parts.push_back(Find(Family::RegionMonth, other, m));
            // The region's own cell first: the share is its amount over the sum of all.
            std::swap(parts[0], parts[static_cast<std::size_t>(r - 1)]);
            Add(Family::RegionShare, r, m, Key("region-share", r, m), "sales", "",
                std::move(parts));
        }
}

int QueryCatalogue::Add(Family family, int a, int b, std::string key, std::string tables,
                        std::string sql, std::vector<int> components) {
    Query q;
    q.id = static_cast<int>(m_queries.size());
    q.family = family;
    q.a = a;
    q.b = b;
    q.key = std::move(key);
    q.tables = std::move(tables);
    q.sql = std::move(sql);
    if (!q.sql.empty())
        q.statement =
            m_statementOf.try_emplace(q.sql, static_cast<int>(m_statementOf.size())).first->second;
    q.components = std::move(components);
    m_byParameters[{family, a, b}] = q.id;
    m_queries.push_back(std::move(q));
    return m_queries.back().id;
}

int QueryCatalogue::Find(Family family, int a, int b) const {
    const auto it = m_byParameters.find({family, a, b});
    if (it == m_byParameters.end()) throw std::logic_error("no such query");
    return it->second;
}

std::vector<int> QueryCatalogue::AffectedBaseQueries(const SalesCell& cell) const {
    const int category = CategoryOf(cell.product);
    std::vector<int> ids{Find(Family::RegionMonth, cell.region, cell.month),
                         Find(Family::ProductQuarter, cell.product, (cell.month + 2) / 3),
                         Find(Family::CategoryRegion, category, cell.region),
                         Find(Family::TopProducts, cell.region, 0),
                         Find(Family::CategoryMonthly, category, 0)};
    std::sort(ids.begin(), ids.end());
    return ids;
}

namespace {

// "sales:<column>=<value>,..." with the columns in name order.
std::string SalesTag(std::vector<std::pair<std::string, int>> filter) {
    std::sort(filter.begin(), filter.end());
    std::string tag = "sales:";
    for (std::size_t i = 0; i < filter.size(); ++i)
        tag += (i ? "," : "") + filter[i].first + "=" + std::to_string(filter[i].second);
    return tag;
}

}  // namespace

std::vector<std::string> QueryCatalogue::TagsOf(int qid) const {
    const Query& q = Get(qid);
    switch (q.family) {
        case Family::RegionMonth:
            return {SalesTag({{"region", q.a}, {"month", q.b}})};
        case Family::ProductQuarter:
            return {SalesTag({{"product", q.a}, {"quarter", q.b}})};
        case Family::CategoryRegion:
            return {SalesTag({{"category", q.a}, {"region", q.b}})};
        case Family::TopProducts:
            return {SalesTag({{"region", q.a}})};
        case Family::CategoryMonthly:
            return {SalesTag({{"category", q.a}})};
        case Family::Dimension:
        case Family::RegionShare:
            break;
    }
    return {};
}

std::vector<std::string> QueryCatalogue::RowTags(const SalesCell& cell) const {
    const std::vector<std::pair<std::string, int>> columns{{"category", CategoryOf(cell.product)},
                                                           {"month", cell.month},
                                                           {"product", cell.product},
                                                           {"quarter", (cell.month + 2) / 3},
                                                           {"region", cell.region}};
    std::vector<std::string> tags;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        tags.push_back(SalesTag({columns[i]}));
        for (std::size_t j = i + 1; j < columns.size(); ++j)
            tags.push_back(SalesTag({columns[i], columns[j]}));
    }
    return tags;
}

ZipfSampler::ZipfSampler(std::size_t count, double exponent, std::uint64_t rankSeed,
                         std::uint64_t drawSeed)
    : m_cumulative(count), m_idOfRank(count), m_random(drawSeed) {
    double sum = 0;
    for (std::size_t rank = 0; rank < count; ++rank) {
        sum += 1.0 / std::pow(static_cast<double>(rank + 1), exponent);
        m_cumulative[rank] = sum;
    }
    for (double& c : m_cumulative) c /= sum;
    std::iota(m_idOfRank.begin(), m_idOfRank.end(), 0);
    std::mt19937_64 ranks(rankSeed);
    std::shuffle(m_idOfRank.begin(), m_idOfRank.end(), ranks);
}

int ZipfSampler::Next() {
    const double u = m_uniform(m_random);
    const auto it = std::lower_bound(m_cumulative.begin(), m_cumulative.end(), u);
    const auto rank = std::min<std::size_t>(static_cast<std::size_t>(it - m_cumulative.begin()),
                                            m_idOfRank.size() - 1);
    return m_idOfRank[rank];
}

std::vector<int> HottestBaseQueries(const QueryCatalogue& catalogue, std::uint64_t rankSeed,
                                    std::size_t count) {
    const ZipfSampler ranks(catalogue.Size(), 1.0, rankSeed, 0);
    std::vector<int> hottest;
    for (std::size_t rank = 0; rank < ranks.Size() && hottest.size() < count; ++rank)
        if (!catalogue.Get(ranks.IdOfRank(rank)).Derived()) hottest.push_back(ranks.IdOfRank(rank));
    return hottest;
}

}  // namespace demo
