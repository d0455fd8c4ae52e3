#include "baselines/Baselines.h"

#include <stdexcept>

#include "velredis/RedisConnectionPool.h"

using velmora::caching::RedisConnection;
using velmora::caching::RedisReplyValue;
using Clock = std::chrono::steady_clock;

namespace demo {

namespace {

constexpr const char* kSetupNames[] = {"database", "redis-ttl", "local-ttl", "velcache"};

}  // namespace

const char* SetupName(Setup setup) {
    return kSetupNames[static_cast<int>(setup)];
}

std::optional<Setup> ParseSetup(const std::string& name) {
    for (int i = 0; i < 4; ++i)
        if (name == kSetupNames[i]) return static_cast<Setup>(i);
    return std::nullopt;
}

AnswerSource::Answer DatabaseOnly::Get(int qid) {
    return {m_runners.Acquire()->Compute(qid), Layer::Sqlite, false};
}

AnswerSource::Answer LocalTtlCache::Get(int qid) {
    const auto found = m_entries.find(qid);
    if (found != m_entries.end()) {
        if (Clock::now() < found->second.expires) {
            m_uses.splice(m_uses.begin(), m_uses, found->second.use);
            return {found->second.result, Layer::Memory, false};
        }
        m_uses.erase(found->second.use);
        m_entries.erase(found);
    }
    ResultPtr loaded = m_runners.Acquire()->Compute(qid);
    Keep(qid, loaded);
    return {std::move(loaded), Layer::Sqlite, false};
}

void LocalTtlCache::Keep(int qid, ResultPtr result) {
    if (m_capacity == 0) return;
    if (m_entries.size() >= m_capacity) {
        m_entries.erase(m_uses.back());
        m_uses.pop_back();
    }
    m_uses.push_front(qid);
    m_entries[qid] = {std::move(result), Clock::now() + m_ttl, m_uses.begin()};
}

RedisTtlCache::RedisTtlCache(RunnerPool& runners, const QueryCatalogue& catalogue,
                             std::unique_ptr<RedisConnection> connection, std::string prefix,
                             std::chrono::milliseconds ttl)
    : m_runners(runners),
      m_catalogue(catalogue),
      m_connection(std::move(connection)),
      m_prefix(std::move(prefix)),
      m_ttl(ttl) {}

RedisTtlCache::~RedisTtlCache() = default;

AnswerSource::Answer RedisTtlCache::Get(int qid) {
    const std::string key = m_prefix + m_catalogue.Get(qid).key;
    if (const RedisConnection::Bytes bytes = m_connection->Get(key)) {
        if (auto decoded = QueryResult::Decode(bytes->data(), bytes->size()))
            return {std::make_shared<const QueryResult>(std::move(*decoded)), Layer::Redis, false};
    }
    ResultPtr loaded = m_runners.Acquire()->Compute(qid);
    const std::vector<unsigned char> encoded = loaded->Encode();
    const RedisReplyValue reply =
        m_connection->Command({"SET", key, std::string(encoded.begin(), encoded.end()), "PX",
                               std::to_string(m_ttl.count())});
    if (reply.type == RedisReplyValue::Type::Error)
        throw std::runtime_error("Redis refused SET: " + reply.text);
    return {std::move(loaded), Layer::Sqlite, false};
}

}  // namespace demo
