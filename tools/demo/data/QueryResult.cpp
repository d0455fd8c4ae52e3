#include "data/QueryResult.h"

#include <cstring>
#include <string>

namespace demo {

namespace {

constexpr std::uint32_t kMagic = 0x56444d32;  // encoded result, format 2 (content only)

template <class T>
void Put(std::vector<unsigned char>& out, T value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

// Bytes being read: where they start and end.
struct Input {
    const unsigned char* data;
    std::size_t size;
};

template <class T>
bool Take(const Input& in, std::size_t& at, T& value) {
    if (in.size - at < sizeof value) return false;
    std::memcpy(&value, in.data + at, sizeof value);
    at += sizeof value;
    return true;
}

void PutRows(std::vector<unsigned char>& out, const std::vector<Row>& rows) {
    Put(out, static_cast<std::uint32_t>(rows.size()));
    for (const Row& row : rows) {
        Put(out, static_cast<std::uint32_t>(row.size()));
        for (std::int64_t v : row) Put(out, v);
    }
}

bool TakeRows(const Input& in, std::size_t& at, std::vector<Row>& rows) {
    std::uint32_t count = 0;
    if (!Take(in, at, count) || count > 100000) return false;
    rows.resize(count);
    for (Row& row : rows) {
        std::uint32_t width = 0;
        if (!Take(in, at, width) || width > 64) return false;
        row.resize(width);
        for (std::int64_t& v : row)
            if (!Take(in, at, v)) return false;
    }
    return true;
}

}  // namespace

std::vector<unsigned char> EncodeRows(const std::vector<Row>& rows) {
    std::vector<unsigned char> out;
    PutRows(out, rows);
    return out;
}

std::optional<std::vector<Row>> DecodeRows(const std::vector<unsigned char>& bytes) {
    std::vector<Row> rows;
    std::size_t at = 0;
    if (!TakeRows({bytes.data(), bytes.size()}, at, rows) || at != bytes.size())
        return std::nullopt;
    return rows;
}

std::vector<Row> ShareRows(const std::vector<const std::vector<Row>*>& componentRows) {
    std::int64_t own = 0, total = 0;
    for (std::size_t i = 0; i < componentRows.size(); ++i) {
        const std::vector<Row>& rows = *componentRows[i];
        const std::int64_t amount = rows.empty() || rows[0].empty() ? 0 : rows[0][0];
        if (i == 0) own = amount;
        total += amount;
    }
    return {{total ? own * 10000 / total : 0, own, total}};
}

std::vector<unsigned char> QueryResult::Encode() const {
    std::vector<unsigned char> out;
    Put(out, kMagic);
    Put(out, static_cast<std::int32_t>(qid));
    Put(out, static_cast<std::uint32_t>(versions.size()));
    for (const auto& [id, version] : versions) {
        Put(out, static_cast<std::int32_t>(id));
        Put(out, version);
    }
    PutRows(out, rows);
    return out;
}

std::optional<QueryResult> QueryResult::Decode(const unsigned char* data, std::size_t size) {
    const Input in{data, size};
    QueryResult r;
    std::size_t at = 0;
    std::uint32_t magic = 0, count = 0;
    std::int32_t qid = 0;
    if (!Take(in, at, magic) || magic != kMagic || !Take(in, at, qid) || !Take(in, at, count) ||
        count > 1024)
        return std::nullopt;
    r.qid = qid;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::int32_t id = 0;
        std::int64_t version = 0;
        if (!Take(in, at, id) || !Take(in, at, version)) return std::nullopt;
        r.versions.emplace_back(id, version);
    }
    if (!TakeRows(in, at, r.rows) || at != size) return std::nullopt;
    return r;
}

}  // namespace demo
