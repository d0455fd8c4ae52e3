// QueryResult: the answer to one catalogue query as the workers cache it: integer rows, the
// version of every base query it was computed from (one for a base query, several for a derived
// one) and the time it was produced. Its data hash covers the rows only, so equal answers have
// equal hashes in every process. ResultData is the payload the in-memory caches hold.
// Immutable once built; shared between threads through std::shared_ptr<const QueryResult>.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "caching/CacheCoherence.h"
#include "utility/CacheHelpers.h"

namespace demo {

using Row = std::vector<std::int64_t>;

struct QueryResult {
    int qid = 0;
    // (base query id, version) of every base query the answer was computed from.
    std::vector<std::pair<int, std::int64_t>> versions;
    // When the answer was produced, in DateTime ticks.
    std::uint64_t timestamp = 0;
    std::vector<Row> rows;

    velmora::caching::HashPair DataHash() const;
    std::vector<unsigned char> Serialize() const;
    // Empty when `bytes` is not a serialized result.
    static std::optional<QueryResult> Deserialize(const std::vector<unsigned char>& bytes);
};

using ResultPtr = std::shared_ptr<const QueryResult>;

// Rows as bytes and back, for the database's record of a query's rows at each of its versions.
// DecodeRows gives nothing for bytes that are not encoded rows.
std::vector<unsigned char> EncodeRows(const std::vector<Row>& rows);
std::optional<std::vector<Row>> DecodeRows(const std::vector<unsigned char>& bytes);

// The rows of a derived share query from its components' rows (the region's own cell first):
// {share in basis points, own amount, total amount}.
std::vector<Row> ShareRows(const std::vector<const std::vector<Row>*>& componentRows);

// 128-bit hash of a text (two 64-bit FNV-1a passes with different bases).
velmora::caching::HashPair HashText(const std::string& text);

class ResultData : public VelCacheData {
public:
    explicit ResultData(ResultPtr result) : m_result(std::move(result)) {
        m_memoryUsage += sizeof(QueryResult) + m_result->rows.size() * 64;
    }
    const ResultPtr& Result() const { return m_result; }

private:
    ResultPtr m_result;
};

// The result held by a cache payload; null for payloads of another kind.
const QueryResult* ResultOf(const CacheHelpers::Payload& payload);

}  // namespace demo
