// baselines/: the set-ups that do without the library, measured against it by --compare: the
// sources that answer in their stead, the comparison's runs and its table.

// Baselines: the set-ups a comparison run measures the main job's caches against, each answering
// the same catalogue queries from the same database as a host that does not use the library
// would: the database alone; a shared Redis cache-aside whose values live for a fixed time (no
// change deletes them); and an in-process cache of a fixed number of entries whose values live
// for a fixed time, with nothing telling it of changes. Both caches keep whole answers, derived
// ones too, under the query's key text.
// Each source is used by one thread at a time (a worker's); the runner pool must outlive it.
#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "data/QueryRunner.h"
#include "host/ResultCache.h"

namespace velmora::caching {
class RedisConnection;
}

namespace demo {

// How a run's workers answer: the set-ups of a comparison, in the order it runs them.
enum class Setup { Database, RedisTtl, LocalTtl, Velcache };
const char* SetupName(Setup setup);  // "database", "redis-ttl", "local-ttl", "velcache"
std::optional<Setup> ParseSetup(const std::string& name);

// Every answer from the database.
class DatabaseOnly : public AnswerSource {
public:
    explicit DatabaseOnly(RunnerPool& runners) : m_runners(runners) {}
    Answer Get(int qid) override;

private:
    RunnerPool& m_runners;
};

// Least recently used entries, at most `capacity` of them (0: none kept), each served until
// `ttl` after it was loaded.
class LocalTtlCache : public AnswerSource {
public:
    LocalTtlCache(RunnerPool& runners, std::size_t capacity, std::chrono::milliseconds ttl)
        : m_runners(runners), m_capacity(capacity), m_ttl(ttl) {}
    Answer Get(int qid) override;
    std::size_t Size() const { return m_entries.size(); }

private:
    struct Entry {
        ResultPtr result;
        std::chrono::steady_clock::time_point expires;
        std::list<int>::iterator use;
    };
    void Keep(int qid, ResultPtr result);

    RunnerPool& m_runners;
    const std::size_t m_capacity;
    const std::chrono::milliseconds m_ttl;
    std::list<int> m_uses;  // most recent first
    std::unordered_map<int, Entry> m_entries;
};

// GET the answer's key from Redis; on a miss, load it and SET it with an expiry of `ttl`.
// Keys are `prefix` followed by the query's key text. A failed command raises.
class RedisTtlCache : public AnswerSource {
public:
    RedisTtlCache(RunnerPool& runners, const QueryCatalogue& catalogue,
                  std::unique_ptr<velmora::caching::RedisConnection> connection, std::string prefix,
                  std::chrono::milliseconds ttl);
    ~RedisTtlCache() override;
    Answer Get(int qid) override;

private:
    RunnerPool& m_runners;
    const QueryCatalogue& m_catalogue;
    std::unique_ptr<velmora::caching::RedisConnection> m_connection;
    const std::string m_prefix;
    const std::chrono::milliseconds m_ttl;
};

}  // namespace demo
