// DataGenerator: writes the workload's database from a seed: small dimension tables (regions,
// product categories, products), a sales table of many rows over regions, products and months,
// and the three bookkeeping tables the writer keeps (a version per query, the history of changes
// with the update that made each and the time it was committed and announced, and a query's rows
// at each of its versions). The same seed gives the same data.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace demo {

struct DataShape {
    int regions = 8;
    int categories = 5;
    int products = 40;
    int months = 12;
    int salesRows = 200000;
};

class DataGenerator {
public:
    DataGenerator(DataShape shape, std::uint64_t seed) : m_shape(shape), m_seed(seed) {}
    // Replaces whatever is at `path` with a new database.
    void Write(const std::string& path) const;

private:
    DataShape m_shape;
    std::uint64_t m_seed;
};

}  // namespace demo
