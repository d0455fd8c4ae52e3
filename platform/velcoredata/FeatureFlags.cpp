#include "velcoredata/FeatureFlags.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_set>

namespace {
struct FlagStore {
    std::shared_mutex mutex;
    std::unordered_set<FeatureFlagId> on;  // Guarded by mutex.
};
FlagStore& Store() {
    static FlagStore* store = new FlagStore();  // Lives until the process ends.
    return *store;
}
}  // namespace

bool FeatureFlags::IsOn(FeatureFlagId id) {
    std::shared_lock lock(Store().mutex);
    return Store().on.count(id) != 0;
}

void FeatureFlags::Set(FeatureFlagId id, bool on) {
    std::unique_lock lock(Store().mutex);
    if (on)
        Store().on.insert(id);
    else
        Store().on.erase(id);
}

void FeatureFlags::ResetAll() {
    std::unique_lock lock(Store().mutex);
    Store().on.clear();
}
