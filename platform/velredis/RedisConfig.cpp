#include "velredis/RedisConfig.h"

#include <mutex>

#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/InitOnce.h"
#include "velsys/Locks.h"

namespace velmora::caching {

namespace {

// The configuration and the singletons made from it. Never destroyed: the singletons live until
// the process ends.
struct Registry {
    TMutex mutex;
    RedisEndpointConfig config VEL_GUARDED_BY(mutex);
    std::shared_ptr<RedisConnectionPool> pool VEL_GUARDED_BY(mutex);
    RedisSubscriptionManager* manager VEL_GUARDED_BY(mutex) = nullptr;
};

Registry& GetRegistry() {
    static Registry* registry = new Registry();
    return *registry;
}

}  // namespace

void ConfigureRedis(const RedisEndpointConfig& config) {
    Registry& r = GetRegistry();
    std::shared_ptr<RedisConnectionPool> pool;
    RedisSubscriptionManager* manager;
    {
        TMutexLock lock(r.mutex);
        r.config = config;
        pool = r.pool;
        manager = r.manager;
    }
    if (pool) pool->Reconfigure(config);
    if (manager) manager->Reconfigure(config);
}

RedisEndpointConfig GetRedisConfiguration() {
    Registry& r = GetRegistry();
    TMutexLock lock(r.mutex);
    return r.config;
}

std::shared_ptr<RedisConnectionPool> RedisConnectionPool::GetSharedInstance() {
    static InitOnce* once = new InitOnce();
    return once->GetShared<RedisConnectionPool>([] {
        Registry& r = GetRegistry();
        TMutexLock lock(r.mutex);
        r.pool = std::make_shared<RedisConnectionPool>(r.config);
        return r.pool;
    });
}

RedisSubscriptionManager& RedisSubscriptionManager::GetInstance() {
    static InitOnce* once = new InitOnce();
    // The shared_ptr inside the InitOnce keeps the manager for the rest of the process.
    return *once->GetShared<RedisSubscriptionManager>([] {
        Registry& r = GetRegistry();
        TMutexLock lock(r.mutex);
        auto manager = std::make_shared<RedisSubscriptionManager>(r.config);
        r.manager = manager.get();
        return manager;
    });
}

}  // namespace velmora::caching
