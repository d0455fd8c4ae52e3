#include "SimReference.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <list>
#include <set>
#include <unordered_map>
#include <utility>

namespace velcli {

namespace {

using Key = std::uint64_t;
using Queue = std::list<Key>;  // front: the newest (most recent, or the head of a FIFO)

// ARC: T1 holds keys seen once recently, T2 keys seen at least twice; B1 and B2 remember the
// keys last evicted from each (no values). A hit in a ghost moves the target size p of T1
// towards the list that would have kept the key.
class Arc {
public:
    explicit Arc(std::uint64_t capacity) : m_capacity(static_cast<double>(capacity)) {}

    bool Access(Key key) {
        const auto found = m_index.find(key);
        if (found == m_index.end()) {
            Admit(key);
            return false;
        }
        Slot& slot = found->second;
        switch (slot.list) {
            case kT1:
            case kT2:
                MoveTo(key, slot, kT2);
                return true;
            case kB1:
                m_p = std::min(m_p + std::max(Ratio(kB2, kB1), 1.0), m_capacity);
                Replace(false);
                MoveTo(key, slot, kT2);
                return false;
            default:
                m_p = std::max(m_p - std::max(Ratio(kB1, kB2), 1.0), 0.0);
                Replace(true);
                MoveTo(key, slot, kT2);
                return false;
        }
    }

private:
    enum List : unsigned char { kT1, kT2, kB1, kB2 };
    struct Slot {
        List list;
        Queue::iterator at;
    };

    double Size(List list) const { return static_cast<double>(m_lists[list].size()); }
    double Ratio(List over, List under) const { return Size(over) / Size(under); }

    // A key seen for the first time (or forgotten by both ghosts).
    void Admit(Key key) {
        const double l1 = Size(kT1) + Size(kB1);
        const double all = l1 + Size(kT2) + Size(kB2);
        if (l1 >= m_capacity) {
            if (Size(kT1) < m_capacity) {
                Forget(kB1);
                Replace(false);
            } else {
                Forget(kT1);
            }
        } else if (all >= m_capacity) {
            if (all >= 2 * m_capacity) Forget(kB2);
            Replace(false);
        }
        m_lists[kT1].push_front(key);
        m_index[key] = Slot{kT1, m_lists[kT1].begin()};
    }

    // Makes room in the cache: the least recent of T1 or of T2 becomes a ghost. T1 is measured
    // against the whole pages of its target: a fractional target never equals T1's length, and
    // the tie the paper breaks towards T1 after a hit in B2 would never happen.
    void Replace(bool hitInB2) {
        const double t1 = Size(kT1);
        const double target = std::floor(m_p);
        const bool fromT1 = t1 >= 1 && ((hitInB2 && t1 == target) || t1 > target);
        if (fromT1 || m_lists[kT2].empty())
            Demote(kT1, kB1);
        else
            Demote(kT2, kB2);
    }

    void Demote(List from, List to) {
        const Key key = m_lists[from].back();
        m_lists[from].pop_back();
        m_lists[to].push_front(key);
        m_index[key] = Slot{to, m_lists[to].begin()};
    }

    void Forget(List list) {
        m_index.erase(m_lists[list].back());
        m_lists[list].pop_back();
    }

    void MoveTo(Key key, Slot& slot, List to) {
        m_lists[slot.list].erase(slot.at);
        m_lists[to].push_front(key);
        slot = Slot{to, m_lists[to].begin()};
    }

    const double m_capacity;
    double m_p = 0;  // the target size of T1
    Queue m_lists[4];
    std::unordered_map<Key, Slot> m_index;
};

// S3-FIFO: new keys enter a small FIFO (a tenth of the entries); one accessed again there moves
// to the main FIFO on leaving it, the others leave a ghost. A key whose ghost is found enters
// the main FIFO directly; the ghost stays in its FIFO until it ages out (a key that leaves the
// small FIFO again only moves its ghost to the front). The main FIFO reinserts an entry with a
// frequency left (2 bits), counting it down.
class S3Fifo {
public:
    explicit S3Fifo(std::uint64_t capacity)
        : m_capacity(capacity),
          m_smallCapacity(std::max<std::uint64_t>(1, capacity / 10)),
          m_mainCapacity(capacity > m_smallCapacity ? capacity - m_smallCapacity : 1) {}

    bool Access(Key key) {
        if (const auto found = m_cached.find(key); found != m_cached.end()) {
            found->second.frequency = std::min(found->second.frequency + 1, 3);
            return true;
        }
        while (m_small.size() + m_main.size() >= m_capacity) Evict();
        if (m_ghostIndex.count(key) != 0) {
            m_main.push_front(key);
            m_cached[key] = Entry{0, m_main.begin()};
        } else {
            m_small.push_front(key);
            m_cached[key] = Entry{0, m_small.begin()};
        }
        return false;
    }

private:
    struct Entry {
        int frequency;
        Queue::iterator at;
    };

    void Evict() {
        if (m_small.size() >= m_smallCapacity)
            EvictSmall();
        else
            EvictMain();
    }

    void EvictSmall() {
        while (!m_small.empty()) {
            const Key key = m_small.back();
            m_small.pop_back();
            Entry& entry = m_cached[key];
            if (entry.frequency > 1) {
                m_main.push_front(key);
                entry.at = m_main.begin();
                if (m_main.size() >= m_mainCapacity) EvictMain();
                continue;
            }
            m_cached.erase(key);
            if (const auto ghost = m_ghostIndex.find(key); ghost != m_ghostIndex.end())
                m_ghost.erase(ghost->second);
            m_ghost.push_front(key);
            m_ghostIndex[key] = m_ghost.begin();
            if (m_ghost.size() > m_mainCapacity) {
                m_ghostIndex.erase(m_ghost.back());
                m_ghost.pop_back();
            }
            return;
        }
    }

    void EvictMain() {
        while (!m_main.empty()) {
            const Key key = m_main.back();
            m_main.pop_back();
            Entry& entry = m_cached[key];
            if (entry.frequency > 0) {
                --entry.frequency;
                m_main.push_front(key);
                entry.at = m_main.begin();
                continue;
            }
            m_cached.erase(key);
            return;
        }
    }

    const std::uint64_t m_capacity, m_smallCapacity, m_mainCapacity;
    Queue m_small, m_main, m_ghost;
    std::unordered_map<Key, Entry> m_cached;
    std::unordered_map<Key, Queue::iterator> m_ghostIndex;
};

// SIEVE: one FIFO; a hit sets the entry's visited bit; the hand sweeps from the oldest entry
// towards the newest, clearing bits, and evicts the first entry it finds unvisited, then stays
// there for the next eviction (wrapping to the oldest after the newest).
class Sieve {
public:
    explicit Sieve(std::uint64_t capacity) : m_capacity(capacity), m_hand(m_queue.end()) {}

    bool Access(Key key) {
        if (const auto found = m_index.find(key); found != m_index.end()) {
            found->second.visited = true;
            return true;
        }
        if (m_queue.size() >= m_capacity) Evict();
        m_queue.push_front(key);
        m_index[key] = Entry{m_queue.begin(), false};
        return false;
    }

private:
    struct Entry {
        Queue::iterator at;
        bool visited;
    };

    // The entry after `at` towards the newest, wrapping to the oldest.
    Queue::iterator Newer(Queue::iterator at) {
        return at == m_queue.begin() ? std::prev(m_queue.end()) : std::prev(at);
    }

    void Evict() {
        Queue::iterator at = m_hand != m_queue.end() ? m_hand : std::prev(m_queue.end());
        for (Entry* entry = &m_index[*at]; entry->visited; entry = &m_index[*at]) {
            entry->visited = false;
            at = Newer(at);
        }
        m_hand = at == m_queue.begin() ? m_queue.end() : std::prev(at);
        m_index.erase(*at);
        m_queue.erase(at);
    }

    const std::uint64_t m_capacity;
    Queue m_queue;
    Queue::iterator m_hand;  // end(): start from the oldest
    std::unordered_map<Key, Entry> m_index;
};

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// Belady: on a miss with the cache full, the entry whose next use lies furthest ahead goes (one
// never used again first). The missed key is always admitted, as a demand-paged cache must.
double ReplayOpt(const std::vector<Key>& keys, std::uint64_t capacity) {
    std::vector<std::size_t> next(keys.size(), kNever);
    {
        std::unordered_map<Key, std::size_t> later;
        for (std::size_t i = keys.size(); i-- > 0;) {
            const auto [at, fresh] = later.try_emplace(keys[i], i);
            if (!fresh) {
                next[i] = at->second;
                at->second = i;
            }
        }
    }
    std::set<std::pair<std::size_t, Key>> byNextUse;
    std::unordered_map<Key, std::size_t> cached;  // key -> its next use
    std::uint64_t hits = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const Key key = keys[i];
        if (const auto found = cached.find(key); found != cached.end()) {
            ++hits;
            byNextUse.erase({found->second, key});
            found->second = next[i];
            byNextUse.insert({next[i], key});
            continue;
        }
        if (cached.size() >= capacity) {
            const auto furthest = std::prev(byNextUse.end());
            cached.erase(furthest->second);
            byNextUse.erase(furthest);
        }
        cached.emplace(key, next[i]);
        byNextUse.insert({next[i], key});
    }
    return static_cast<double>(hits) / static_cast<double>(keys.size());
}

template <typename Policy>
double Replay(const std::vector<Key>& keys, std::uint64_t capacity) {
    Policy policy(capacity);
    std::uint64_t hits = 0;
    for (const Key key : keys) hits += policy.Access(key) ? 1U : 0U;
    return static_cast<double>(hits) / static_cast<double>(keys.size());
}

}  // namespace

const std::vector<ReferencePolicy>& ReferencePolicies() {
    static const std::vector<ReferencePolicy> all{ReferencePolicy::Arc, ReferencePolicy::S3Fifo,
                                                  ReferencePolicy::Sieve, ReferencePolicy::Opt};
    return all;
}

std::string ColumnName(ReferencePolicy policy) {
    switch (policy) {
        case ReferencePolicy::Arc:
            return "ref-arc";
        case ReferencePolicy::S3Fifo:
            return "ref-s3fifo";
        case ReferencePolicy::Sieve:
            return "ref-sieve";
        case ReferencePolicy::Opt:
            return "ref-opt";
    }
    return "ref-?";
}

double ReplayReference(ReferencePolicy policy, const std::vector<std::uint64_t>& keys,
                       std::uint64_t capacity) {
    if (keys.empty() || capacity == 0) return 0;
    switch (policy) {
        case ReferencePolicy::Arc:
            return Replay<Arc>(keys, capacity);
        case ReferencePolicy::S3Fifo:
            return Replay<S3Fifo>(keys, capacity);
        case ReferencePolicy::Sieve:
            return Replay<Sieve>(keys, capacity);
        case ReferencePolicy::Opt:
            return ReplayOpt(keys, capacity);
    }
    return 0;
}

}  // namespace velcli
