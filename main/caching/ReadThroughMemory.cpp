#include "caching/ReadThroughMemory.h"

#include <stdexcept>
#include <thread>

#include "velcoredata/DateTime.h"
#include "velsys/SteadyClock.h"

namespace velmora::caching::readthrough {

namespace {

// The steady-clock moment at which a value produced at `producedAt` (wall clock) with
// `lifetimeTicks` stops being served, as the wall clock says now. Read from the coarse clocks
// (a fill would otherwise pay two precise readings), each at most a tick behind, and put two
// ticks earlier: never later than the precise clocks would put it, at most two ticks sooner.
long long DeadlineOf(unsigned long long producedAt, unsigned long long lifetimeTicks) {
    const auto end = static_cast<long long>(producedAt + lifetimeTicks);
    constexpr long long kNsPerTick = 1000000LL / DateTimeSpan::kTicksPerMillisecond;
    timespec wall{};
    timespec steady{};
    const long long tickNs = CoarseTickNs();
    if (tickNs < 0 || clock_gettime(CLOCK_REALTIME_COARSE, &wall) != 0 ||
        clock_gettime(CLOCK_MONOTONIC_COARSE, &steady) != 0) {
        const auto now = static_cast<long long>(DateTime::UtcNow().GetRepresentation());
        return SteadyNowNs() + (end - now) * kNsPerTick;
    }
    const long long now = static_cast<long long>(DateTime::kUnixEpochTicks) +
                          (wall.tv_sec * 1000000000LL + wall.tv_nsec) / kNsPerTick;
    return steady.tv_sec * 1000000000LL + steady.tv_nsec + (end - now) * kNsPerTick - 2 * tickNs;
}

}  // namespace

HeldValue::HeldValue(std::string k, AnyValue v, HashPair h, unsigned long long at,
                     long long startNs, unsigned long long lifetime, std::uint64_t policy,
                     std::shared_ptr<const CacheTagSet> t)
    : key(std::move(k)),
      value(std::move(v)),
      expiresAtNs(DeadlineOf(at, lifetime)),
      loadStartNs(startNs),
      tags(std::move(t)),
      producedAt(at),
      lifetimeTicks(lifetime),
      policyKey(policy),
      hash(h) {}

const HeldValue* HeldOf(const CacheHelpers::Payload& payload) {
    return dynamic_cast<const HeldValue*>(payload.Get());
}

unsigned ThisThreadsStripe() {
    static std::atomic<unsigned> next{0};
    thread_local const unsigned stripe = next.fetch_add(1, std::memory_order_relaxed);
    return stripe;
}

void StripedSharedMutex::lock() {
    m_writers.lock();
    m_writer.store(true, std::memory_order_seq_cst);
    for (Readers& readers : m_readers) {
        for (int spins = 0; readers.count.load(std::memory_order_seq_cst) != 0; ++spins)
            if (spins >= 64) std::this_thread::yield();
    }
}

void StripedSharedMutex::unlock() {
    m_writer.store(false, std::memory_order_release);
    m_writers.unlock();
}

void StripedSharedMutex::WaitWhileWriting() const {
    for (int spins = 0; m_writer.load(std::memory_order_acquire); ++spins)
        if (spins >= 64) std::this_thread::yield();
}

long long StripedCount::Sum() const {
    long long sum = 0;
    for (const Cell& cell : m_cells) sum += cell.value.load(std::memory_order_relaxed);
    return sum + m_shared.value.load(std::memory_order_relaxed);
}

unsigned int KeyTable::Find(Slot slot) const {
    const Shard& shard = ShardOf(slot);
    StripedReadLock lock(shard.mutex, ThisThreadsStripe());
    const Bucket* bucket = Find(shard, slot);
    return bucket ? bucket->guid : 0;
}

KeyTable::Bucket KeyTable::Unlink(Shard& shard, Slot slot, unsigned int guid) {
    const Bucket* found = Find(shard, slot);
    if (!found || (guid != 0 && found->guid != guid)) return {};
    const Bucket taken = *found;
    const std::size_t mask = shard.buckets.size() - 1;
    // Shifts back every later bucket of the run that may sit in the hole: one whose first
    // bucket is not cyclically within (hole, it].
    std::size_t hole = static_cast<std::size_t>(found - shard.buckets.data());
    for (std::size_t i = (hole + 1) & mask; shard.buckets[i].held; i = (i + 1) & mask) {
        const std::size_t home = shard.buckets[i].Fragment() & mask;
        const bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
        if (stays) continue;
        shard.buckets[hole] = shard.buckets[i];
        hole = i;
    }
    shard.buckets[hole] = Bucket();
    --shard.count;
    return taken;
}

void KeyTable::Link(Shard& shard, const Bucket& bucket) {
    if (4 * (shard.count + 1) > 3 * shard.buckets.size()) {
        std::vector<Bucket> grown(std::max<std::size_t>(16, 2 * shard.buckets.size()));
        const std::size_t mask = grown.size() - 1;
        for (const Bucket& old : shard.buckets) {
            if (!old.held) continue;
            std::size_t i = old.Fragment() & mask;
            while (grown[i].held) i = (i + 1) & mask;
            grown[i] = old;
        }
        shard.buckets.swap(grown);
    }
    const std::size_t mask = shard.buckets.size() - 1;
    std::size_t i = bucket.Fragment() & mask;
    while (shard.buckets[i].held) i = (i + 1) & mask;
    shard.buckets[i] = bucket;
    ++shard.count;
}

std::pair<unsigned int, CacheHelpers::EntrySet> KeyTable::Replace(Slot slot,
                                                                  CacheHelpers::Payload data,
                                                                  SynchronizedIndexedCache& layer,
                                                                  bool pending) {
    const HeldValue* value = HeldOf(data);
    if (!value || value->policyKey != slot)
        throw std::logic_error("KeyTable::Replace: not a HeldValue of this slot");
    const HeldValue* old = nullptr;  // its table reference is let go after the locks
    std::pair<unsigned int, CacheHelpers::EntrySet> added;
    {
        Shard& shard = ShardOf(slot);
        TMutexLock writing(shard.writers);
        std::vector<unsigned int> ids;
        {
            // Only writers change buckets, and they are kept out by `writers`.
            StripedReadLock lock(shard.mutex, ThisThreadsStripe());
            if (const Bucket* held = Find(shard, slot)) ids.push_back(held->guid);
        }
        // Readers still find the old entry until the new one takes its place.
        added = layer.AddEntryAndDeleteEntriesWithIds(data, ids);
        value->AddRef();  // the table's
        StripedWriteLock lock(shard.mutex);
        if (Bucket* held = FindToWrite(shard, slot)) {
            old = held->held;
            *held = {FragmentOf(slot) | (pending ? Bucket::kPending : 0u), added.first, value};
        } else {
            Link(shard, {FragmentOf(slot) | (pending ? Bucket::kPending : 0u), added.first, value});
        }
    }
    if (old) old->Release();
    return added;
}

void KeyTable::Show(Slot slot, unsigned int guid) {
    Shard& shard = ShardOf(slot);
    TMutexLock writing(shard.writers);
    // Readers may stay: no bucket moves while `writers` is held, and the tag is atomic.
    StripedReadLock lock(shard.mutex, ThisThreadsStripe());
    if (const Bucket* held = Find(shard, slot); held && held->guid == guid)
        held->tag.fetch_and(~Bucket::kPending, std::memory_order_release);
}

CacheHelpers::EntrySet KeyTable::Remove(Slot slot, unsigned int guid,
                                        SynchronizedIndexedCache& layer) {
    Bucket taken;
    CacheHelpers::EntrySet removed;
    {
        Shard& shard = ShardOf(slot);
        TMutexLock writing(shard.writers);
        {
            // Out of readers' reach before it leaves the layer.
            StripedWriteLock lock(shard.mutex);
            taken = Unlink(shard, slot, guid);
        }
        if (!taken.held) return {};
        removed = layer.DeleteEntriesWithIds({taken.guid});
    }
    taken.held->Release();
    return removed;
}

void KeyTable::Forget(const CacheHelpers::EntrySet& gone) {
    for (const CacheHelpers::Entry& entry : gone) {
        const HeldValue* value = HeldOf(entry.GetData());
        if (!value) continue;
        Bucket taken;
        {
            Shard& shard = ShardOf(value->policyKey);
            TMutexLock writing(shard.writers);
            StripedWriteLock lock(shard.mutex);
            taken = Unlink(shard, value->policyKey, entry.GetID());
        }
        if (taken.held) taken.held->Release();
    }
}

KeyTable::~KeyTable() {
    for (Shard& shard : m_shards) {
        StripedWriteLock lock(shard.mutex);
        for (const Bucket& bucket : shard.buckets)
            if (bucket.held) bucket.held->Release();
    }
}

MemoryLayer::MemoryLayer(std::shared_ptr<CacheHelpers::IPolicy> policy,
                         std::unique_ptr<CacheHelpers::IClock> clock)
    : SynchronizedIndexedCache(std::move(policy), std::move(clock)) {}

void MemoryLayer::OnDirty(const std::vector<unsigned int>& ids) {
    m_invalidated += static_cast<long long>(ids.size());
    // Released after the key table let them go: a reader of the table may still hold a shard.
    const CacheHelpers::EntrySet gone = DeleteEntriesWithIds(ids);
    m_keys.Forget(gone);
}

}  // namespace velmora::caching::readthrough
