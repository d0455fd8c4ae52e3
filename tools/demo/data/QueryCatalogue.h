// data/: the sales database the main job queries: its generation, the SQLite wrapper, the
// catalogue of queries, their answers and the runner that reads them from the database.

// QueryCatalogue: the few hundred distinct queries the workers answer. Base queries aggregate
// the sales table (per region and month, per product and quarter, per category and region, the
// top products of a region, a category's monthly totals) or read only dimension tables; derived
// queries (a region's share of a month's sales) are computed from the answers of base queries.
// The catalogue says which tables each query reads and which base queries a change of one sales
// row affects. ZipfSampler draws query ids with a skewed popularity.
// Const methods are safe for concurrent use; anything else needs external synchronization.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace demo {

class Database;

enum class Family {
    RegionMonth,
    ProductQuarter,
    CategoryRegion,
    TopProducts,
    CategoryMonthly,
    Dimension,
    RegionShare  // derived
};

struct Query {
    int id = 0;
    Family family = Family::RegionMonth;
    int a = 0;
    int b = 0;
    std::string key;              // "region-month:3:7", unique in the catalogue
    std::string tables;           // the tables it reads, "+"-separated
    std::string sql;              // empty for derived queries; parameters ?1 = a, ?2 = b
    int statement = -1;           // which of the catalogue's distinct SQL texts `sql` is; -1: none
    std::vector<int> components;  // base queries a derived query is computed from
    bool Derived() const { return !components.empty(); }
};

// Where one sales row sits.
struct SalesCell {
    int region = 0;
    int product = 0;
    int month = 0;
};

class QueryCatalogue {
public:
    // Reads the dimension sizes and the product categories from `db`.
    explicit QueryCatalogue(Database& db);

    const std::vector<Query>& All() const { return m_queries; }
    const Query& Get(int id) const { return m_queries.at(static_cast<std::size_t>(id)); }
    std::size_t Size() const { return m_queries.size(); }
    // How many distinct SQL texts the base queries share (Query::statement is below it).
    std::size_t StatementCount() const { return m_statementOf.size(); }
    int CategoryOf(int product) const { return m_categoryOf.at(static_cast<std::size_t>(product)); }
    // The base queries whose answer may change when a row in `cell` changes, ascending.
    std::vector<int> AffectedBaseQueries(const SalesCell& cell) const;
    // The cache tags of what base query `qid` reads: its filter on the sales rows as one tag
    // ("sales:month=7,region=3", the columns in name order); none for a query that reads no
    // sales row.
    std::vector<std::string> TagsOf(int qid) const;
    // The tags a change of a row in `cell` touches: its column values, one and two at a time
    // (category, month, product, quarter, region), so that every filter the row matches is one
    // of them whatever queries exist. A writer invalidates these; it needs no catalogue.
    std::vector<std::string> RowTags(const SalesCell& cell) const;

private:
    int Add(Family family, int a, int b, std::string key, std::string tables, std::string sql,
            std::vector<int> components = {});
    int Find(Family family, int a, int b) const;

    std::vector<Query> m_queries;
    std::map<std::tuple<Family, int, int>, int> m_byParameters;
    std::map<std::string, int> m_statementOf;  // SQL text -> Query::statement
    std::vector<int> m_categoryOf;             // by product id
};

// Draws catalogue ids with probability proportional to 1 / rank^exponent, the ranks being a
// permutation of the ids seeded by `rankSeed` (the same in every worker, so that they share the
// popular queries) and the draws by `drawSeed`. Not thread-safe: use from one thread at a time.
class ZipfSampler {
public:
    ZipfSampler(std::size_t count, double exponent, std::uint64_t rankSeed, std::uint64_t drawSeed);
    int Next();
    // The id drawn most often (rank 0), then the next, and so on.
    int IdOfRank(std::size_t rank) const { return m_idOfRank.at(rank); }
    std::size_t Size() const { return m_idOfRank.size(); }

private:
    std::vector<double> m_cumulative;
    std::vector<int> m_idOfRank;
    std::mt19937_64 m_random;
    std::uniform_real_distribution<double> m_uniform{0.0, 1.0};
};

// The `count` base queries drawn most often by every worker's sampler of rank seed `rankSeed`,
// the most popular first (fewer when the catalogue has fewer).
std::vector<int> HottestBaseQueries(const QueryCatalogue& catalogue, std::uint64_t rankSeed,
                                    std::size_t count);

}  // namespace demo
