// FailSafeStore: a read-through cache's last good value of each key, kept past the value's
// lifetime for answers when loads fail, and the keys whose loader failed lately. Bounded: the
// least recently kept copy goes first. Safe for concurrent use (one leaf mutex; nothing is
// called while it is held).
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "caching/CacheCoherence.h"
#include "caching/CacheTags.h"
#include "velsys/Locks.h"

namespace velmora::caching {

class FailSafeStore {
public:
    struct Copy {
        std::shared_ptr<const void> value;
        HashPair hash;
        unsigned long long producedAt = 0;        // raw DateTime
        std::shared_ptr<const CacheTagSet> tags;  // null: untagged
    };

    explicit FailSafeStore(std::size_t capacity) : m_capacity(capacity ? capacity : 1) {}

    void Keep(const std::string& key, Copy copy);
    std::optional<Copy> Find(const std::string& key) const;
    // The loader of `key` failed at `nowNs`: not to be run again before `untilNs` (steady
    // clock).
    void Throttle(const std::string& key, long long nowNs, long long untilNs);
    bool IsThrottled(const std::string& key, long long nowNs) const;
    // Forgets every copy and throttle (a clear of the cache).
    void Clear();

private:
    struct Slot {
        Copy copy;
        std::list<std::string>::iterator order;
    };
    const std::size_t m_capacity;
    mutable TMutex m_mutex;
    std::list<std::string> m_order VEL_GUARDED_BY(m_mutex);  // most recently kept first
    std::unordered_map<std::string, Slot> m_copies VEL_GUARDED_BY(m_mutex);
    std::unordered_map<std::string, long long> m_throttled VEL_GUARDED_BY(m_mutex);
};

}  // namespace velmora::caching
