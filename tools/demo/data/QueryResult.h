// QueryResult: the answer to one catalogue query as the workers cache it: integer rows and the
// version of every base query it was computed from (one for a base query, several for a derived
// one). Encode gives its content as bytes, deterministically: equal answers give equal bytes in
// every process, which is what the caches' data hashes are made of. The versions are content:
// they travel with the answer through every cache, so that a freshness check can tell which
// change an answer missed.
// Immutable once built; shared between threads through std::shared_ptr<const QueryResult>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace demo {

using Row = std::vector<std::int64_t>;

struct QueryResult {
    int qid = 0;
    // (base query id, version) of every base query the answer was computed from.
    std::vector<std::pair<int, std::int64_t>> versions;
    std::vector<Row> rows;

    // The query, the versions and the rows, in that order.
    std::vector<unsigned char> Encode() const;
    // Empty when the bytes are not an encoded result.
    static std::optional<QueryResult> Decode(const unsigned char* data, std::size_t size);

    bool operator==(const QueryResult&) const = default;
};

using ResultPtr = std::shared_ptr<const QueryResult>;

// Rows as bytes and back, for the database's record of a query's rows at each of its versions.
// DecodeRows gives nothing for bytes that are not encoded rows.
std::vector<unsigned char> EncodeRows(const std::vector<Row>& rows);
std::optional<std::vector<Row>> DecodeRows(const std::vector<unsigned char>& bytes);

// The rows of a derived share query from its components' rows (the region's own cell first):
// {share in basis points, own amount, total amount}.
std::vector<Row> ShareRows(const std::vector<const std::vector<Row>*>& componentRows);

}  // namespace demo
