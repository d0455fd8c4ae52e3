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
    // Writes a new database at `path`, replacing one this generator wrote there before (it
    // holds a marker table); raises std::runtime_error, leaving the file alone, when MayReplace
    // says no.
    void Write(const std::string& path) const;
    // Whether Write may replace what is at `path`: nothing, an empty file, or a database it
    // wrote itself. Otherwise `why` says what is there. Opens an existing database read-only.
    static bool MayReplace(const std::string& path, std::string& why);

private:
    DataShape m_shape;
    std::uint64_t m_seed;
};

}  // namespace demo
