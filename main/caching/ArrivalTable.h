// ArrivalTable: the announcements a coherence service received lately, per key hash, and the
// moments it may have missed some. Read-through caches ask it two questions:
//
//  - MayFill: may a value whose load started at a steady-clock moment be kept? Not when, since
//    that moment, an announcement of its key hash with another data hash arrived, or
//    announcements may have been lost (a gap, a conservative flush, or the table letting go of
//    an arrival newer than the load's start to stay within its bound). Decided by arrival on
//    this process's steady clock, never by comparing host timestamps.
//  - MayServe: may a value read from a lower layer, produced at a host time, be served? Only
//    when its data hash is that of the announcement of its key that arrived last, or, when none
//    is known, when it is within the table's horizon (the values' lifetime) and does not
//    predate what the table can vouch for (its start, a loss, an arrival let go early).
//
// Arrivals are kept for `keepSec` seconds and at most `maxArrivals` of them (the oldest go
// first). Safe for concurrent use; one leaf mutex, nothing is called while it is held.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <unordered_map>
#include <vector>

#include "caching/CacheCoherence.h"
#include "velsys/Locks.h"

namespace velmora::caching {

class ArrivalTable {
public:
    ArrivalTable(int keepSec, int maxArrivals);

    // An announcement of `hash` under `keyhash`, produced at `timestamp` (raw DateTime),
    // received at `arrivedNs` (steady clock; 0 for one read back at start-up). Returns whether
    // it raced a fill of other content announced from here (NoteAnnouncedFill) whose load
    // started before it arrived and whose own announcement has not come back yet: it is then
    // to be announced again, after that fill's.
    bool Record(const HashPair& keyhash, const HashPair& hash, unsigned long long timestamp,
                long long arrivedNs);
    // A fill of `hash` whose load started at `loadStartNs` was just announced from here. When
    // the newest arrival of its key since that moment is of other content, returns it (data
    // hash, timestamp), to be announced again after the fill's; when it is the fill's own
    // content, the fill is settled; when nothing arrived, remembers the fill for Record.
    // Remembered fills are let go past the horizon, and none is remembered while a quarter of
    // the table's bound is taken (a race then goes uncorrected, as before).
    std::optional<std::pair<HashPair, unsigned long long>> NoteAnnouncedFill(
        const HashPair& keyhash, const HashPair& hash, long long loadStartNs);
    // Announcements may have been missed up to now: no load started before `nowNs` is kept,
    // no stored value produced before `nowUtc` is served (0: stored values stay vouched for).
    void RecordLoss(long long nowNs, unsigned long long nowUtc);
    // The table vouches for announcements produced from `sinceUtc` on (set once it has read
    // back what the stream holds; until then, from the table's creation).
    void SetKnownSince(unsigned long long sinceUtc);

    bool MayFill(const HashPair& keyhash, const HashPair& hash, long long loadStartNs) const;
    bool MayServe(const HashPair& keyhash, const HashPair& hash, unsigned long long producedAt,
                  unsigned long long nowUtc) const;

    // When this process heard that `answered` was no longer the content of `keyhash`: the first
    // arrival, after the last arrival of `answered` at or before `answerNs`, of `reloaded` or of
    // an invalidation (the data hash (0, 0)); when `answered` has not arrived by `answerNs` (a
    // value just loaded), the last such arrival before `answerNs`, else the first after it; -1
    // when none arrived. A repeat of an announcement moves its arrival on (see Record), so this
    // errs towards a later moment. For the auditor.
    struct ChangeHeard {
        long long heardNs = -1;
        // The last moment (steady clock) announcements may have been missed, or an arrival was
        // let go early; arrivals before it prove nothing about what came after.
        long long lostNs = 0;
        // The moment the table began (steady clock): nothing before it is known.
        long long startNs = 0;
        // The first arrival of other content than `answered` (neither `reloaded` nor an
        // invalidation needed) after the last arrival of `answered` at or before `answerNs`, or
        // after `answerNs` when there was none; -1 when none. A writer whose announcement could
        // not go out sends only the newest content of a key, which stands for the change.
        long long otherNs = -1;
        // What the table holds of the key: how many arrivals, the newest one's moment (-1: none)
        // and whether it was of `answered`.
        int arrivals = 0;
        long long newestNs = -1;
        bool newestAnswered = false;
    };
    ChangeHeard HeardOfChange(const HashPair& keyhash, const HashPair& answered,
                              const HashPair& reloaded, long long answerNs) const;

    // ---- fills not published ----
    // Whether a fill of `hash` produced at `timestamp` adds nothing to what every process was
    // told: the newest announcement received for `keyhash` since the last restart (highest
    // production time) has the same data hash and, with a margin, is at most `marginTicks`
    // older than the fill. Unknown key hashes, and a full table of skipped fills, answer false.
    bool IsNewestReceived(const HashPair& keyhash, const HashPair& hash,
                          unsigned long long timestamp, unsigned long long marginTicks) const;
    // Remembers a fill that was not published, so that an announcement of other content that
    // arrives later makes it owed (TakeOwed).
    void RememberSkipped(const HashPair& keyhash, const HashPair& hash,
                         unsigned long long timestamp);
    // The skipped fills of `keyhash` whose content differs from `hash` (just received, produced
    // at `timestamp`) and that were produced after it; they are forgotten here and are to be
    // published now. A skipped fill produced at or before it is owed to no one on its account:
    // its announcement could only make records older than the fill dirty, and the one just
    // received is not. It stays remembered for a change still in flight that is older.
    std::vector<std::pair<HashPair, unsigned long long>> TakeOwed(const HashPair& keyhash,
                                                                  const HashPair& hash,
                                                                  unsigned long long timestamp);
    // After a re-subscription or a gap: what arrived before may not be the newest any more, so
    // no fill is skipped on its account.
    void RestartSkipping(long long nowNs);

    // How long values may live, in raw DateTime ticks.
    unsigned long long HorizonTicks() const { return m_keepTicks; }
    std::size_t Size() const;

private:
    struct Arrival {
        HashPair hash;
        unsigned long long timestamp;
        long long arrivedNs;
    };
    struct KeyHasher {
        std::size_t operator()(const HashPair& k) const {
            return static_cast<std::size_t>(k.first ^ (k.second * 0x9e3779b97f4a7c15ULL));
        }
    };
    // Lets go of arrivals past the horizon, then of the oldest beyond the bound.
    void Prune(long long nowNs) VEL_REQUIRES(m_mutex);

    const long long m_keepNs;
    const unsigned long long m_keepTicks;
    const std::size_t m_max;
    const long long m_startNs;

    mutable TMutex m_mutex;
    std::unordered_map<HashPair, std::vector<Arrival>, KeyHasher> m_byKey VEL_GUARDED_BY(m_mutex);
    // (arrival moment, key hash), oldest first: the order arrivals are let go in.
    std::deque<std::pair<long long, HashPair>> m_order VEL_GUARDED_BY(m_mutex);
    std::size_t m_count VEL_GUARDED_BY(m_mutex) = 0;
    // The newest arrival let go to stay within the bound (steady moment, production time).
    long long m_droppedNs VEL_GUARDED_BY(m_mutex) = 0;
    unsigned long long m_droppedUtc VEL_GUARDED_BY(m_mutex) = 0;
    // The last moment announcements may have been missed.
    long long m_lossNs VEL_GUARDED_BY(m_mutex) = 0;
    unsigned long long m_lossUtc VEL_GUARDED_BY(m_mutex) = 0;
    unsigned long long m_knownSinceUtc VEL_GUARDED_BY(m_mutex);
    // Arrivals before this moment do not count for skipping (see RestartSkipping).
    long long m_skipFromNs VEL_GUARDED_BY(m_mutex) = 0;
    struct Skipped {
        HashPair hash;
        unsigned long long timestamp;
        long long atNs;
    };
    std::unordered_map<HashPair, std::vector<Skipped>, KeyHasher> m_skipped VEL_GUARDED_BY(m_mutex);
    std::size_t m_skippedCount VEL_GUARDED_BY(m_mutex) = 0;
    struct Announced {
        HashPair hash;
        long long loadStartNs;
    };
    std::unordered_map<HashPair, std::vector<Announced>, KeyHasher> m_announced
        VEL_GUARDED_BY(m_mutex);
    std::size_t m_announcedCount VEL_GUARDED_BY(m_mutex) = 0;
};

}  // namespace velmora::caching
