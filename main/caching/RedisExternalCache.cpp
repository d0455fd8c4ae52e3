#include "caching/RedisExternalCache.h"

#include <chrono>
#include <deque>

#include "metrics2/Metrics.h"
#include "velcore/AppOptions.h"
#include "velcoredata/FeatureFlags.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisProbe.h"

namespace velmora::caching {

namespace {

constexpr std::uint64_t kBackendScopeBits = 0x20001;
// Made once: a scope name built per call would cost a text conversion each time.
const TString kStoreScope("RedisExternalCache::TryStore");
const TString kLoadScope("RedisExternalCache::TryLoad");
const TString kDropScope("RedisExternalCache::TryDrop");

}  // namespace

RedisExternalCache::RedisExternalCache(const TString& ns)
    : RedisExternalCache(ns, RedisConnectionPool::GetSharedInstance()) {}

RedisExternalCache::RedisExternalCache(const TString& ns, std::shared_ptr<RedisConnectionPool> pool)
    : ExternalCache(ns), m_connectionPool(std::move(pool)) {
    VEL_ASSERT(m_connectionPool);
}

RedisExternalCache::~RedisExternalCache() = default;

std::string RedisExternalCache::Unreachable() const {
    const RedisEndpointConfig config = m_connectionPool->GetConfig();
    const std::string cause = ProbeRedis(config);
    if (cause.empty()) return "";
    return "cannot reach Redis at " + DescribeRedisEndpoint(config) + ": " + cause;
}

std::string RedisExternalCache::MakePhysicalCacheKey(const TString& ns, const TString& key) {
    return (ns + TString(":") + key).toStdString();
}

RedisExternalCache::StoreFunc RedisExternalCache::GetStoreFunc() const {
    return [ns = GetNamespace(), pool = m_connectionPool](
               TString key, TString /*keyHash*/, ExternalBytesPtr value, long long ttlSec) {
        Metrics::Scope scope(kStoreScope, kBackendScopeBits);
        const std::string physicalKey = MakePhysicalCacheKey(ns, key);
        const auto guard = pool->FindAndLockConnection(physicalKey);
        if (!guard) return;
        RedisConnection& connection = guard->GetConnection();
        if (velmora::appoptions::ExternalCacheRedisAlwaysSetEx()) {
            const long long expiry =
                ttlSec > 0 && FeatureFlags::IsOn(kRedisCallerTtlFlag)
                    ? ttlSec
                    : static_cast<long long>(
                          velmora::appoptions::ExternalCacheRedisAlwaysSetExSec());
            connection.SetEx(physicalKey, std::chrono::seconds(expiry), value);
        } else {
            connection.Set(physicalKey, value);
        }
    };
}

RedisExternalCache::LoadFunc RedisExternalCache::GetLoadFunc() const {
    return [ns = GetNamespace(), pool = m_connectionPool](TString key,
                                                          TString /*keyHash*/) -> ExternalBytesPtr {
        Metrics::Scope scope(kLoadScope, kBackendScopeBits);
        const std::string physicalKey = MakePhysicalCacheKey(ns, key);
        const auto guard = pool->FindAndLockConnection(physicalKey);
        if (!guard) return nullptr;
        return guard->GetConnection().Get(physicalKey);
    };
}

std::size_t RedisExternalCache::LoadBatchSize() const {
    return kRedisLoadBatchSize;
}

RedisExternalCache::LoadManyFunc RedisExternalCache::GetLoadManyFunc() const {
    return [ns = GetNamespace(), pool = m_connectionPool](const std::vector<TString>& keys,
                                                          const std::vector<TString>& /*hashes*/) {
        std::vector<std::optional<ExternalBytesPtr>> answers(keys.size());
        if (keys.empty()) return answers;
        std::deque<Metrics::Scope> scopes;  // one a key, as a single load opens it
        std::vector<std::vector<std::string>> commands;
        commands.reserve(keys.size());
        for (const TString& key : keys) {
            scopes.emplace_back(kLoadScope, kBackendScopeBits);
            commands.push_back({"GET", MakePhysicalCacheKey(ns, key)});
        }
        const auto guard = pool->FindAndLockConnection(commands.front()[1]);
        if (!guard) {
            // As a single load: no connection free is a miss.
            for (auto& answer : answers) answer = ExternalBytesPtr();
            return answers;
        }
        auto replies =
            guard->GetConnection().PipelineEach(commands, pool->GetConfig().commandTimeout);
        for (std::size_t i = 0; i < replies.size() && i < answers.size(); ++i) {
            if (!replies[i]) continue;  // failed: stays empty
            const RedisReplyValue& reply = *replies[i];
            if (reply.type == RedisReplyValue::Type::Nil)
                answers[i] = ExternalBytesPtr();
            else if (reply.type == RedisReplyValue::Type::String)
                answers[i] = std::make_shared<ExternalBytes>(reply.text.begin(), reply.text.end());
        }
        return answers;
    };
}

RedisExternalCache::DropFunc RedisExternalCache::GetDropFunc() const {
    return [ns = GetNamespace(), pool = m_connectionPool](TString key, TString /*keyHash*/) {
        Metrics::Scope scope(kDropScope, kBackendScopeBits);
        const std::string physicalKey = MakePhysicalCacheKey(ns, key);
        const auto guard = pool->FindAndLockConnection(physicalKey);
        if (guard) guard->GetConnection().Del(physicalKey);
    };
}

}  // namespace velmora::caching
