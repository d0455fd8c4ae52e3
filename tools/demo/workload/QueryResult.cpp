#include "QueryResult.h"

#include <cstring>
#include <string>

namespace demo {

namespace {

constexpr std::uint64_t kPrime = 0x100000001b3ULL;
constexpr std::uint32_t kMagic = 0x56444d31;  // serialized result, format 1

void Mix(std::uint64_t& h, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) h = (h ^ bytes[i]) * kPrime;
}

template <class T>
void Put(std::vector<unsigned char>& out, T value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

template <class T>
bool Take(const std::vector<unsigned char>& in, std::size_t& at, T& value) {
    if (in.size() - at < sizeof value) return false;
    std::memcpy(&value, in.data() + at, sizeof value);
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

bool TakeRows(const std::vector<unsigned char>& in, std::size_t& at, std::vector<Row>& rows) {
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
    if (!TakeRows(bytes, at, rows) || at != bytes.size()) return std::nullopt;
    return rows;
}

velmora::caching::HashPair HashText(const std::string& text) {
    std::uint64_t a = 0xcbf29ce484222325ULL, b = 0x84222325cbf29ce4ULL;
    Mix(a, text.data(), text.size());
    Mix(b, text.data(), text.size());
    Mix(b, "#", 1);
    return {a, b};
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

velmora::caching::HashPair QueryResult::DataHash() const {
    std::uint64_t a = 0xcbf29ce484222325ULL, b = 0x9e3779b97f4a7c15ULL;
    for (const Row& row : rows) {
        const std::uint64_t width = row.size();
        for (std::uint64_t* h : {&a, &b}) {
            Mix(*h, &width, sizeof width);
            Mix(*h, row.data(), row.size() * sizeof(std::int64_t));
        }
        Mix(b, "|", 1);
    }
    return {a, b};
}

std::vector<unsigned char> QueryResult::Serialize() const {
    std::vector<unsigned char> out;
    Put(out, kMagic);
    Put(out, static_cast<std::int32_t>(qid));
    Put(out, timestamp);
    Put(out, static_cast<std::uint32_t>(versions.size()));
    for (const auto& [id, version] : versions) {
        Put(out, static_cast<std::int32_t>(id));
        Put(out, version);
    }
    PutRows(out, rows);
    return out;
}

std::optional<QueryResult> QueryResult::Deserialize(const std::vector<unsigned char>& in) {
    QueryResult r;
    std::size_t at = 0;
    std::uint32_t magic = 0, count = 0;
    std::int32_t qid = 0;
    if (!Take(in, at, magic) || magic != kMagic || !Take(in, at, qid) ||
        !Take(in, at, r.timestamp) || !Take(in, at, count) || count > 1024)
        return std::nullopt;
    r.qid = qid;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::int32_t id = 0;
        std::int64_t version = 0;
        if (!Take(in, at, id) || !Take(in, at, version)) return std::nullopt;
        r.versions.emplace_back(id, version);
    }
    if (!TakeRows(in, at, r.rows) || at != in.size()) return std::nullopt;
    return r;
}

const QueryResult* ResultOf(const CacheHelpers::Payload& payload) {
    const auto* data = dynamic_cast<const ResultData*>(payload.Get());
    return data ? data->Result().get() : nullptr;
}

}  // namespace demo
