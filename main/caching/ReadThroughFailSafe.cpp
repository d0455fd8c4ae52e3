#include "caching/ReadThroughFailSafe.h"

namespace velmora::caching {

void FailSafeStore::Keep(const std::string& key, Copy copy) {
    TMutexLock lock(m_mutex);
    m_throttled.erase(key);  // a good value ends the throttle
    const auto it = m_copies.find(key);
    if (it != m_copies.end()) {
        m_order.erase(it->second.order);
        m_copies.erase(it);
    }
    m_order.push_front(key);
    m_copies.emplace(key, Slot{std::move(copy), m_order.begin()});
    while (m_copies.size() > m_capacity) {
        m_copies.erase(m_order.back());
        m_order.pop_back();
    }
}

std::optional<FailSafeStore::Copy> FailSafeStore::Find(const std::string& key) const {
    TMutexLock lock(m_mutex);
    const auto it = m_copies.find(key);
    if (it == m_copies.end()) return std::nullopt;
    return it->second.copy;
}

void FailSafeStore::Throttle(const std::string& key, long long nowNs, long long untilNs) {
    TMutexLock lock(m_mutex);
    m_throttled[key] = untilNs;
    // Keys whose throttle ended are let go now and then, so the table stays small.
    if (m_throttled.size() > 2 * m_capacity) {
        std::erase_if(m_throttled, [nowNs](const auto& t) { return t.second <= nowNs; });
    }
}

bool FailSafeStore::IsThrottled(const std::string& key, long long nowNs) const {
    TMutexLock lock(m_mutex);
    const auto it = m_throttled.find(key);
    return it != m_throttled.end() && nowNs < it->second;
}

void FailSafeStore::Clear() {
    std::list<std::string> order;
    std::unordered_map<std::string, Slot> copies;
    {
        TMutexLock lock(m_mutex);
        order.swap(m_order);
        copies.swap(m_copies);
        m_throttled.clear();
    }
    // The values go once the lock is released: a host's destructor never runs under it.
}

}  // namespace velmora::caching
