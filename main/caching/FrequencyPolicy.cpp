#include "caching/FrequencyPolicy.h"

#include <algorithm>
#include <array>
#include <memory>

#include "velsys/Exceptions.h"

namespace velmora::caching {

namespace {

// The parameters, one set for every workload and size (measured by `velcache sim` on the trace
// corpus of docs/sizing.md: a database, workstation disks, loops, scans, shifting popularity).
constexpr double kFirstWindowShare = 0.05;         // of the capacity, before the climber moves it
constexpr double kProtectedShare = 0.65;           // of the main area
constexpr double kFirstStep = 0.02;                // of the capacity: the climber's first move
constexpr double kStepDecay = 0.9;                 // each move is this much of the one before
constexpr std::uint64_t kLeastSample = 10000;      // accesses a climber sample counts at least
constexpr double kGhostShare = 0.5;                // refused keys remembered, per expected key
constexpr std::uint64_t kCountersPerKey = 4;       // the sketch's width, per expected key
constexpr std::uint64_t kAgeingPerCounter = 10;    // sketch additions per counter between halvings
constexpr std::uint64_t kDoorBitsPerCounter = 32;  // the first-access filter's bits per counter
constexpr int kWarm = 5;  // a candidate this frequent may be let in at random on a tie or less

std::uint64_t Mix(std::uint64_t x) {
    // A 64-bit finaliser: every input bit reaches every output bit.
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

std::uint64_t NextPowerOfTwo(std::uint64_t n) {
    std::uint64_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

// Four rows of 4-bit counters (one byte each here, capped at 15); an increment raises only the
// rows at the current minimum, so that a key's estimate is not inflated by its neighbours'
// collisions more than it must be. Every `sample` increments, all counters are halved: what
// was frequent a while ago fades.
class FrequencySketch {
public:
    explicit FrequencySketch(std::uint64_t expectedKeys)
        : m_width(NextPowerOfTwo(
              std::clamp<std::uint64_t>(kCountersPerKey * expectedKeys, 64, 1ULL << 24))),
          m_counters(kRows * m_width, 0),
          m_door(kDoorBitsPerCounter * m_width / 64, 0),
          m_sample(kAgeingPerCounter * m_width) {}

    int Estimate(std::uint64_t key) const {
        const std::uint64_t h = Mix(key);
        int least = kMax;
        for (std::size_t row = 0; row < kRows; ++row)
            least = std::min<int>(least, m_counters[Index(h, row)]);
        if (m_door.empty()) return least;
        return std::min(kMax, least + (InDoor(h) ? 1 : 0));
    }

    void Increment(std::uint64_t key) {
        const std::uint64_t h = Mix(key);
        if (!m_door.empty() && !InDoor(h)) {
            // A key's first access of a period only marks it: keys asked for once never
            // reach the counters, which stay truer for the keys asked for again.
            SetDoor(h);
            if (++m_additions >= m_sample) Halve();
            return;
        }
        std::array<std::size_t, kRows> at{};
        int least = kMax;
        for (std::size_t row = 0; row < kRows; ++row) {
            at[row] = Index(h, row);
            least = std::min<int>(least, m_counters[at[row]]);
        }
        if (least == kMax) return;
        for (const std::size_t i : at)
            if (m_counters[i] == least) ++m_counters[i];
        if (++m_additions >= m_sample) Halve();
    }

private:
    static constexpr std::size_t kRows = 4;
    static constexpr int kMax = 15;

    std::size_t Index(std::uint64_t h, std::size_t row) const {
        // Each row takes its own 16 bits of the hash, spread by an odd multiplier of its own.
        const std::uint64_t part = (h >> (16 * row)) * (2 * row + 0x9E3779B97F4A7C15ULL);
        return row * m_width + static_cast<std::size_t>((part >> 20) & (m_width - 1));
    }
    bool InDoor(std::uint64_t h) const {
        const std::uint64_t a = (h >> 7) & (m_door.size() * 64 - 1);
        const std::uint64_t b = (h >> 37) & (m_door.size() * 64 - 1);
        return ((m_door[a >> 6] >> (a & 63)) & 1) && ((m_door[b >> 6] >> (b & 63)) & 1);
    }
    void SetDoor(std::uint64_t h) {
        const std::uint64_t a = (h >> 7) & (m_door.size() * 64 - 1);
        const std::uint64_t b = (h >> 37) & (m_door.size() * 64 - 1);
        m_door[a >> 6] |= 1ULL << (a & 63);
        m_door[b >> 6] |= 1ULL << (b & 63);
    }
    void Halve() {
        for (std::uint8_t& c : m_counters) c = static_cast<std::uint8_t>(c >> 1);
        std::fill(m_door.begin(), m_door.end(), 0);
        m_additions /= 2;
    }

    const std::uint64_t m_width;
    std::vector<std::uint8_t> m_counters;
    std::vector<std::uint64_t> m_door;  // a Bloom filter of the keys seen once this period
    const std::uint64_t m_sample;
    std::uint64_t m_additions = 0;
};

enum class Area : std::uint8_t { Window, Probation, Protected };

struct Node {
    Node* prev = nullptr;
    Node* next = nullptr;
    FrequencyPolicy::Key key = 0;
    std::uint64_t weight = 0;
    Area area = Area::Window;
};

// A circular list around a sentinel: most recent at the front.
class Queue {
public:
    Queue() { m_head.prev = m_head.next = &m_head; }
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    bool Empty() const { return m_head.next == &m_head; }
    Node* Oldest() { return Empty() ? nullptr : m_head.prev; }
    std::uint64_t Weight() const { return m_weight; }
    void PushFront(Node* node) {
        node->next = m_head.next;
        node->prev = &m_head;
        m_head.next->prev = node;
        m_head.next = node;
        m_weight += node->weight;
    }
    void Unlink(Node* node) {
        node->prev->next = node->next;
        node->next->prev = node->prev;
        m_weight -= node->weight;
    }

private:
    Node m_head;
    std::uint64_t m_weight = 0;
};

// A table of 64-bit keys with open addressing and linear probing, at most half full; an erase
// shifts the probe run back, so no marker of an erased place is needed. `Value{}` marks an
// empty place (a stored value is never that). One probe run is a cache line or two, where a
// node-based map reads a bucket and a node per lookup and allocates per insert.
template <class Value>
class OpenTable {
public:
    explicit OpenTable(std::uint64_t expected)
        : m_slots(NextPowerOfTwo(std::max<std::uint64_t>(16, 2 * expected))) {}

    // Value{} when absent.
    Value Find(FrequencyPolicy::Key key) const {
        for (std::size_t i = Home(key);; i = Next(i)) {
            const Slot& slot = m_slots[i];
            if (slot.value == Value{}) return Value{};
            if (slot.key == key) return slot.value;
        }
    }
    // `key` must be absent.
    void Insert(FrequencyPolicy::Key key, Value value) {
        if (2 * (m_size + 1) > m_slots.size()) Grow();
        Place(m_slots, key, value);
        ++m_size;
    }
    bool Erase(FrequencyPolicy::Key key) {
        std::size_t hole = Home(key);
        for (;; hole = Next(hole)) {
            if (m_slots[hole].value == Value{}) return false;
            if (m_slots[hole].key == key) break;
        }
        // Each later place of the run moves into the hole unless its home is cyclically within
        // (hole, it].
        for (std::size_t i = Next(hole); m_slots[i].value != Value{}; i = Next(i)) {
            const std::size_t home = Home(m_slots[i].key);
            const bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
            if (stays) continue;
            m_slots[hole] = m_slots[i];
            hole = i;
        }
        m_slots[hole] = Slot();
        --m_size;
        return true;
    }
    std::size_t Size() const { return m_size; }

private:
    struct Slot {
        FrequencyPolicy::Key key = 0;
        Value value{};
    };
    std::size_t Home(FrequencyPolicy::Key key) const {
        return static_cast<std::size_t>(Mix(key)) & (m_slots.size() - 1);
    }
    std::size_t Next(std::size_t i) const { return (i + 1) & (m_slots.size() - 1); }
    static void Place(std::vector<Slot>& slots, FrequencyPolicy::Key key, Value value) {
        const std::size_t mask = slots.size() - 1;
        std::size_t i = static_cast<std::size_t>(Mix(key)) & mask;
        while (slots[i].value != Value{}) i = (i + 1) & mask;
        slots[i] = {key, value};
    }
    void Grow() {
        std::vector<Slot> grown(2 * m_slots.size());
        for (const Slot& slot : m_slots)
            if (slot.value != Value{}) Place(grown, slot.key, slot.value);
        m_slots.swap(grown);
    }

    std::vector<Slot> m_slots;
    std::size_t m_size = 0;
};

// The policy's nodes, by key. Nodes live in blocks that never move (the queues link them by
// address); an erased node is reused by the next insert, so a full policy allocates nothing.
class NodeTable {
public:
    explicit NodeTable(std::uint64_t expected) : m_index(expected) {}
    NodeTable(const NodeTable&) = delete;
    NodeTable& operator=(const NodeTable&) = delete;

    Node* Find(FrequencyPolicy::Key key) const { return m_index.Find(key); }
    // A node for `key`, which must be absent: its key set, the rest as a new Node's.
    Node* Insert(FrequencyPolicy::Key key) {
        if (!m_free) AddBlock();
        Node* node = m_free;
        m_free = node->next;
        *node = Node();
        node->key = key;
        m_index.Insert(key, node);
        return node;
    }
    void Erase(Node* node) {
        m_index.Erase(node->key);
        node->next = m_free;
        m_free = node;
    }
    std::size_t Size() const { return m_index.Size(); }

private:
    static constexpr std::size_t kBlock = 1024;
    void AddBlock() {
        m_blocks.push_back(std::make_unique<Node[]>(kBlock));
        Node* block = m_blocks.back().get();
        for (std::size_t i = 0; i < kBlock; ++i) {
            block[i].next = m_free;
            m_free = &block[i];
        }
    }

    OpenTable<Node*> m_index;
    std::vector<std::unique_ptr<Node[]>> m_blocks;
    Node* m_free = nullptr;  // linked through `next`
};

}  // namespace

class FrequencyPolicy::Impl {
public:
    Impl(std::uint64_t capacity, std::uint64_t expectedKeys)
        : m_capacity(capacity),
          m_sketch(expectedKeys ? expectedKeys : capacity),
          m_sample(std::max(kLeastSample, expectedKeys ? expectedKeys : capacity)),
          m_nodes(expectedKeys ? expectedKeys : capacity),
          m_step(static_cast<double>(capacity) * kFirstStep),
          m_ghosts(GhostsOf(expectedKeys ? expectedKeys : capacity)),
          m_ghostOrder(GhostsOf(expectedKeys ? expectedKeys : capacity)) {
        if (capacity < 1)
            throw VelmoraException("FrequencyPolicy: the capacity must be at least 1");
        SetWindow(static_cast<double>(capacity) * kFirstWindowShare);
    }

    void OnHit(Key key) {
        m_sketch.Increment(key);
        Node* node = m_nodes.Find(key);
        if (!node) return;
        ++m_sampleHits;
        switch (node->area) {
            case Area::Window:
                m_window.Unlink(node);
                m_window.PushFront(node);
                break;
            case Area::Probation:
                m_probation.Unlink(node);
                node->area = Area::Protected;
                m_protected.PushFront(node);
                DemoteProtected();
                break;
            case Area::Protected:
                m_protected.Unlink(node);
                m_protected.PushFront(node);
                break;
        }
        EndOfAccess();
    }

    void OnMiss(Key key, std::uint64_t weight, std::vector<Key>& evicted) {
        if (Node* node = m_nodes.Find(key)) {
            // Filled again, perhaps with another weight: a use, and the room it now takes.
            if (node->weight != weight) {
                Queue& queue = QueueOf(*node);
                queue.Unlink(node);
                node->weight = weight;
                queue.PushFront(node);
            }
            OnHit(key);
            Rebalance(evicted);
            return;
        }
        m_sketch.Increment(key);
        ++m_sampleMisses;
        if (weight > m_capacity) {
            evicted.push_back(key);
            EndOfAccess(&evicted);
            return;
        }
        Node* node = m_nodes.Insert(key);
        node->weight = weight;
        if (m_ghosts.Erase(key)) {
            // Refused lately and asked for again: it had its trial in the window.
            node->area = Area::Probation;
            m_probation.PushFront(node);
        } else {
            node->area = Area::Window;
            m_window.PushFront(node);
        }
        Rebalance(evicted);
        EndOfAccess(&evicted);
    }

    void Remove(Key key) {
        Node* node = m_nodes.Find(key);
        if (!node) return;
        QueueOf(*node).Unlink(node);
        m_nodes.Erase(node);
    }

    bool Holds(Key key) const { return m_nodes.Find(key) != nullptr; }
    std::size_t Size() const { return m_nodes.Size(); }
    std::uint64_t Weight() const {
        return m_window.Weight() + m_probation.Weight() + m_protected.Weight();
    }
    std::uint64_t Capacity() const { return m_capacity; }
    std::uint64_t WindowCapacity() const { return m_windowCapacity; }
    int Frequency(Key key) const { return m_sketch.Estimate(key); }

private:
    static std::size_t GhostsOf(std::uint64_t expectedKeys) {
        return static_cast<std::size_t>(kGhostShare * static_cast<double>(expectedKeys));
    }

    Queue& QueueOf(const Node& node) {
        switch (node.area) {
            case Area::Window:
                return m_window;
            case Area::Probation:
                return m_probation;
            case Area::Protected:
                break;
        }
        return m_protected;
    }

    void SetWindow(double share) {
        const double most = static_cast<double>(m_capacity > 1 ? m_capacity - 1 : 1);
        m_windowCapacity = static_cast<std::uint64_t>(std::clamp(share, 1.0, most));
        m_protectedCapacity = static_cast<std::uint64_t>(
            kProtectedShare *
            static_cast<double>(m_capacity - std::min(m_capacity, m_windowCapacity)));
    }

    // The protected part over its share gives its oldest back to probation.
    void DemoteProtected() {
        while (m_protected.Weight() > m_protectedCapacity) {
            Node* oldest = m_protected.Oldest();
            m_protected.Unlink(oldest);
            oldest->area = Area::Probation;
            m_probation.PushFront(oldest);
        }
    }

    void Evict(Node* node, std::vector<Key>& evicted) {
        QueueOf(*node).Unlink(node);
        evicted.push_back(node->key);
        m_nodes.Erase(node);
    }

    // The main area's least recently used key other than `except` (a candidate, which stands at
    // the front of probation): probation first.
    Node* MainVictim(const Node* except) {
        Node* victim = m_probation.Oldest();
        if (victim && victim != except) return victim;
        return m_protected.Oldest();
    }

    bool Admit(const Node& candidate, const Node& victim) {
        const int candidateFrequency = m_sketch.Estimate(candidate.key);
        const int victimFrequency = m_sketch.Estimate(victim.key);
        if (candidateFrequency > victimFrequency) return true;
        // A rare, deterministic admission of a warm candidate, so that keys crafted to collide
        // with a victim's counters cannot keep a newcomer out for good.
        if (candidateFrequency <= kWarm) return false;
        m_random = Mix(m_random + 0x9E3779B97F4A7C15ULL);
        return (m_random & 127) == 0;
    }

    // The ghosts are a ring of the last refused keys; the table names each key's place in it
    // (plus one). A key taken out of the table (asked for again) leaves its place, which the
    // ring overwrites in its turn.
    void Remember(Key key) {
        if (m_ghostOrder.empty() || m_ghosts.Find(key) != 0) return;
        const std::size_t at = m_ghostNext;
        m_ghostNext = (m_ghostNext + 1) % m_ghostOrder.size();
        if (m_ghostsWritten >= m_ghostOrder.size() &&
            m_ghosts.Find(m_ghostOrder[at]) == static_cast<std::uint32_t>(at + 1))
            m_ghosts.Erase(m_ghostOrder[at]);
        ++m_ghostsWritten;
        m_ghostOrder[at] = key;
        m_ghosts.Insert(key, static_cast<std::uint32_t>(at + 1));
    }

    // Moves what the window holds over its share into the main area, each against the main
    // area's oldest key, then evicts while the whole is over the capacity.
    void Rebalance(std::vector<Key>& evicted) {
        while (m_window.Weight() > m_windowCapacity) {
            Node* candidate = m_window.Oldest();
            m_window.Unlink(candidate);
            candidate->area = Area::Probation;
            m_probation.PushFront(candidate);
            while (Weight() > m_capacity) {
                Node* victim = MainVictim(candidate);
                if (!victim) break;
                if (Admit(*candidate, *victim)) {
                    Evict(victim, evicted);
                } else {
                    Remember(candidate->key);
                    Evict(candidate, evicted);
                    break;
                }
            }
        }
        while (Weight() > m_capacity) {
            Node* victim = MainVictim(nullptr);
            if (!victim) victim = m_window.Oldest();
            Evict(victim, evicted);
        }
    }

    // Counts the access into the sample; at the end of a sample, moves the window's share in
    // the direction that paid.
    void EndOfAccess(std::vector<Key>* evicted = nullptr) {
        if (m_sampleHits + m_sampleMisses < m_sample) return;
        const double hitRatio =
            static_cast<double>(m_sampleHits) / static_cast<double>(m_sampleHits + m_sampleMisses);
        m_sampleHits = m_sampleMisses = 0;
        if (m_lastHitRatio >= 0) {
            // The steps only shrink: two samples differ by the traffic's phases far more than by
            // the window's share, and steps that grew again at every jump of the hit ratio kept the
            // window wandering between a hundredth and three quarters of the capacity.
            if (hitRatio < m_lastHitRatio) m_direction = -m_direction;
            m_step *= kStepDecay;
            SetWindow(static_cast<double>(m_windowCapacity) + m_direction * m_step);
            DemoteProtected();
            if (evicted) Rebalance(*evicted);
        }
        m_lastHitRatio = hitRatio;
    }

    const std::uint64_t m_capacity;
    FrequencySketch m_sketch;
    const std::uint64_t m_sample;
    NodeTable m_nodes;
    Queue m_window, m_probation, m_protected;
    std::uint64_t m_windowCapacity = 1;
    std::uint64_t m_protectedCapacity = 0;
    std::uint64_t m_sampleHits = 0, m_sampleMisses = 0;
    double m_lastHitRatio = -1;
    double m_step;
    double m_direction = 1;
    std::uint64_t m_random = 0x5DEECE66DULL;
    // Keys recently refused admission: a ring, and each one's place in it.
    OpenTable<std::uint32_t> m_ghosts;
    std::vector<Key> m_ghostOrder;
    std::size_t m_ghostNext = 0;
    std::uint64_t m_ghostsWritten = 0;
};

FrequencyPolicy::FrequencyPolicy(std::uint64_t capacity, std::uint64_t expectedKeys)
    : m_impl(std::make_unique<Impl>(capacity, expectedKeys)) {}
FrequencyPolicy::~FrequencyPolicy() = default;

void FrequencyPolicy::OnHit(Key key) {
    m_impl->OnHit(key);
}
void FrequencyPolicy::OnMiss(Key key, std::uint64_t weight, std::vector<Key>& evicted) {
    m_impl->OnMiss(key, weight, evicted);
}
void FrequencyPolicy::Remove(Key key) {
    m_impl->Remove(key);
}
bool FrequencyPolicy::Holds(Key key) const {
    return m_impl->Holds(key);
}
std::size_t FrequencyPolicy::Size() const {
    return m_impl->Size();
}
std::uint64_t FrequencyPolicy::Weight() const {
    return m_impl->Weight();
}
std::uint64_t FrequencyPolicy::Capacity() const {
    return m_impl->Capacity();
}
std::uint64_t FrequencyPolicy::WindowCapacity() const {
    return m_impl->WindowCapacity();
}
int FrequencyPolicy::Frequency(Key key) const {
    return m_impl->Frequency(key);
}

bool FrequencyHitLog::Record(FrequencyPolicy::Key key, unsigned stripe) {
    Ring& ring = m_rings[stripe % kStripes];
    // A load and a store rather than an increment: no locked instruction on the hit path; two
    // threads sharing a stripe may lose a hit to each other, which the log allows.
    const std::uint64_t at = ring.written.load(std::memory_order_relaxed);
    ring.keys[at % kKept].store(key, std::memory_order_relaxed);
    ring.written.store(at + 1, std::memory_order_release);
    // A drain every kKept records, if the recorder's lock is free: none is overwritten unheard.
    return (at + 1) % kKept == 0;
}

void FrequencyHitLog::Drain(FrequencyPolicy& policy) {
    for (Ring& ring : m_rings) {
        const std::uint64_t end = ring.written.load(std::memory_order_acquire);
        // What was overwritten before this drain is lost; a slot overwritten while it runs is
        // read as the newer hit.
        std::uint64_t at = std::max(ring.drained, end >= kKept ? end - kKept : 0);
        for (; at < end; ++at) policy.OnHit(ring.keys[at % kKept].load(std::memory_order_relaxed));
        ring.drained = end;
    }
}

}  // namespace velmora::caching
