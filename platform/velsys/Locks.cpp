#include "velsys/Locks.h"

#include <cassert>

#include "velsys/Exceptions.h"

namespace {

// The shared holds of the calling thread, one record per lock with its nesting count. A thread
// holds few locks at once, so a short array searched from the back serves. Trivially
// destructible, so that it stays usable while other thread-local objects are destroyed.
struct ReadHold {
    const TReadWriteLock* lock;
    unsigned count;
};

constexpr unsigned kMaxTrackedHolds = 32;

struct ReadHolds {
    ReadHold holds[kMaxTrackedHolds];
    unsigned size;

    ReadHold* Find(const TReadWriteLock* lock) {
        for (unsigned i = size; i-- > 0;)
            if (holds[i].lock == lock) return &holds[i];
        return nullptr;
    }
    // A thread holding more locks at once than are tracked keeps the extra ones untracked: a
    // nested hold of such a lock waits behind a waiting writer like a new one.
    void Add(const TReadWriteLock* lock) {
        if (size < kMaxTrackedHolds) holds[size++] = ReadHold{lock, 1};
    }
    void Drop(ReadHold* hold) { *hold = holds[--size]; }
};

thread_local ReadHolds t_readHolds;

// How often a waiting thread looks at the lock again before it goes to sleep: holds are short,
// so a brief spin usually avoids the sleep.
constexpr int kSpins = 64;

void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

}  // namespace

TReadWriteLock::TReadWriteLock(int /*spinCount*/) : m_owner(std::thread::id()) {}

TReadWriteLock::~TReadWriteLock() = default;

void TReadWriteLock::FailNotHolder() {
    ThrowLogicException(__FILE__, __LINE__, "Unlock by a thread that does not hold the lock");
}

void TReadWriteLock::LockSlow() {
    // An upgrade always comes here (the thread's own shared hold keeps the lock from being free)
    // and would wait for ever for that hold to end.
    assert(t_readHolds.Find(this) == nullptr && "Lock by a thread that holds the lock shared");
    // Counted as waiting first: from here on new shared holds wait behind this writer.
    m_state.fetch_add(kWaitingWriter, std::memory_order_relaxed);
    const auto free = [](std::uint32_t s) { return (s & (kWriter | kReaderMask)) == 0; };
    for (;;) {
        for (int i = 0; i < kSpins; ++i) {
            std::uint32_t s = m_state.load(std::memory_order_relaxed);
            while (free(s)) {
                if (m_state.compare_exchange_weak(s, (s - kWaitingWriter) | kWriter,
                                                  std::memory_order_acquire,
                                                  std::memory_order_relaxed))
                    return;
            }
            Pause();
        }
        std::unique_lock<std::mutex> sleep(m_sleepMutex);
        m_sleepers.fetch_add(1);
        m_wake.wait(sleep, [&] { return free(m_state.load()); });
        m_sleepers.fetch_sub(1);
    }
}

void TReadWriteLock::LockRead() {
    if (IsLockedByCurrentThread()) {
        ++m_depth;
        return;
    }
    if (ReadHold* held = t_readHolds.Find(this)) {
        // Nested: granted even while a writer waits, since that writer waits for this thread.
        m_state.fetch_add(1, std::memory_order_acquire);
        ++held->count;
        return;
    }
    std::uint32_t s = m_state.load(std::memory_order_relaxed);
    if ((s & (kWriter | kWaitingWriterMask)) != 0 ||
        !m_state.compare_exchange_strong(s, s + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed))
        LockReadSlow();
    t_readHolds.Add(this);
}

void TReadWriteLock::LockReadSlow() {
    const auto open = [](std::uint32_t s) { return (s & (kWriter | kWaitingWriterMask)) == 0; };
    for (;;) {
        for (int i = 0; i < kSpins; ++i) {
            std::uint32_t s = m_state.load(std::memory_order_relaxed);
            while (open(s)) {
                if (m_state.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                                  std::memory_order_relaxed))
                    return;
            }
            Pause();
        }
        std::unique_lock<std::mutex> sleep(m_sleepMutex);
        m_sleepers.fetch_add(1);
        m_wake.wait(sleep, [&] { return open(m_state.load()); });
        m_sleepers.fetch_sub(1);
    }
}

void TReadWriteLock::UnlockRead() {
    if (IsLockedByCurrentThread()) {
        Unlock();
        return;
    }
    if (ReadHold* held = t_readHolds.Find(this)) {
        if (--held->count == 0) t_readHolds.Drop(held);
    }
    const std::uint32_t before = m_state.fetch_sub(1);
    // Only the last shared hold leaving can let a waiting writer in.
    if ((before & kReaderMask) == 1 && (before & kWaitingWriterMask) != 0 && m_sleepers.load() != 0)
        WakeSleepers();
}

bool TReadWriteLock::TryLock() {
    if (IsLockedByCurrentThread()) {
        ++m_depth;
        return true;
    }
    std::uint32_t free = 0;
    if (!m_state.compare_exchange_strong(free, kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed))
        return false;
    m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    m_depth = 1;
    return true;
}

void TReadWriteLock::WakeSleepers() {
    // Taking the mutex orders this wake-up after a sleeper's last look at m_state.
    { std::lock_guard<std::mutex> sleep(m_sleepMutex); }
    m_wake.notify_all();
}
