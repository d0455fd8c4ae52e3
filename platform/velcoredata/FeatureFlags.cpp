#include "velcoredata/FeatureFlags.h"
#include "velsys/Locks.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_set>

using velmora::TSharedMutex;
using velmora::TSharedMutexLock;
using velmora::TSharedMutexReadLock;

namespace {
struct FlagStore {
    TSharedMutex mutex;
    std::unordered_set<FeatureFlagId> on VEL_GUARDED_BY(mutex);
};
FlagStore& Store() {
    static FlagStore* store = new FlagStore();  // Lives until the process ends.
    return *store;
}
}  // namespace

bool FeatureFlags::IsOn(FeatureFlagId id) {
    TSharedMutexReadLock lock(Store().mutex);
    return Store().on.count(id) != 0;
}

void FeatureFlags::Set(FeatureFlagId id, bool on) {
    TSharedMutexLock lock(Store().mutex);
    if (on)
        Store().on.insert(id);
    else
        Store().on.erase(id);
}

void FeatureFlags::ResetAll() {
    TSharedMutexLock lock(Store().mutex);
    Store().on.clear();
}
