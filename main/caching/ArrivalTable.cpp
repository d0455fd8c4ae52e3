#include "caching/ArrivalTable.h"

#include <algorithm>
#include <chrono>

#include "velcoredata/DateTime.h"
#include "velsys/SteadyClock.h"

namespace velmora::caching {

ArrivalTable::ArrivalTable(int keepSec, int maxArrivals)
    : m_keepNs(static_cast<long long>(std::max(keepSec, 1)) * 1000000000LL),
      m_keepTicks(static_cast<unsigned long long>(std::max(keepSec, 1)) * 1000ULL *
                  static_cast<unsigned long long>(DateTimeSpan::kTicksPerMillisecond)),
      m_max(static_cast<std::size_t>(std::max(maxArrivals, 1))),
      m_startNs(SteadyNowNs()),
      m_knownSinceUtc(DateTime::UtcNow().GetRepresentation()) {}

bool ArrivalTable::Record(const HashPair& keyhash, const HashPair& hash,
                          unsigned long long timestamp, long long arrivedNs) {
    TMutexLock lock(m_mutex);
    bool raced = false;
    if (arrivedNs != 0) {
        if (const auto it = m_announced.find(keyhash); it != m_announced.end()) {
            // A fill's own announcement coming back settles it: the server ordered it before
            // whatever arrives after. Other content arriving first may have been ordered before
            // it by the server, and comes last here only by chance.
            m_announcedCount -=
                static_cast<std::size_t>(std::erase_if(it->second, [&](const Announced& a) {
                    if (a.hash == hash) return true;
                    const bool lost = a.loadStartNs < arrivedNs;
                    raced |= lost;
                    return lost;
                }));
            if (it->second.empty()) m_announced.erase(it);
        }
    }
    std::vector<Arrival>& arrivals = m_byKey[keyhash];
    // The same content again only moves its arrival on.
    const auto same = std::find_if(arrivals.begin(), arrivals.end(), [&](const Arrival& a) {
        return a.hash == hash && a.timestamp == timestamp;
    });
    if (same != arrivals.end()) {
        same->arrivedNs = std::max(same->arrivedNs, arrivedNs);
    } else {
        arrivals.push_back({hash, timestamp, arrivedNs});
        ++m_count;
    }
    // An arrival read back at start-up (0: before any load) is let go as though it arrived now;
    // placed at 0 it would be past the horizon at once and forgotten as soon as recorded.
    const long long nowNs = SteadyNowNs();
    m_order.emplace_back(arrivedNs == 0 ? nowNs : arrivedNs, keyhash);
    Prune(std::max(arrivedNs, nowNs));
    return raced;
}

std::optional<std::pair<HashPair, unsigned long long>> ArrivalTable::NoteAnnouncedFill(
    const HashPair& keyhash, const HashPair& hash, long long loadStartNs) {
    TMutexLock lock(m_mutex);
    if (const auto it = m_byKey.find(keyhash); it != m_byKey.end()) {
        // What arrived since the load started, newest last: other content means a change the
        // server may have ordered before this fill; the fill's own content means its
        // announcement came back already (settled).
        const Arrival* newest = nullptr;
        for (const Arrival& a : it->second)
            if (a.arrivedNs >= loadStartNs && (!newest || a.arrivedNs >= newest->arrivedNs))
                newest = &a;
        if (newest && newest->hash != hash) return std::make_pair(newest->hash, newest->timestamp);
        if (newest) return std::nullopt;
    }
    if (m_announcedCount >= m_max / 4 + 1) return std::nullopt;
    m_announced[keyhash].push_back({hash, loadStartNs});
    ++m_announcedCount;
    return std::nullopt;
}

void ArrivalTable::RecordLoss(long long nowNs, unsigned long long nowUtc) {
    TMutexLock lock(m_mutex);
    m_lossNs = std::max(m_lossNs, nowNs);
    m_lossUtc = std::max(m_lossUtc, nowUtc);
}

void ArrivalTable::SetKnownSince(unsigned long long sinceUtc) {
    TMutexLock lock(m_mutex);
    m_knownSinceUtc = sinceUtc;
}

void ArrivalTable::Prune(long long nowNs) {
    const long long cutoff = nowNs - m_keepNs;
    // Skipped fills older than the horizon are owed to no one: every copy they could answer
    // has aged out. Looked at once the table is a quarter full of them.
    if (m_skippedCount > m_max / 8) {
        for (auto it = m_skipped.begin(); it != m_skipped.end();) {
            m_skippedCount -= static_cast<std::size_t>(
                std::erase_if(it->second, [cutoff](const Skipped& s) { return s.atNs < cutoff; }));
            it = it->second.empty() ? m_skipped.erase(it) : std::next(it);
        }
    }
    // Announced fills whose load started before the horizon can have raced nothing still
    // kept. Looked at once the table is an eighth full of them.
    if (m_announcedCount > m_max / 8) {
        for (auto it = m_announced.begin(); it != m_announced.end();) {
            m_announcedCount -= static_cast<std::size_t>(std::erase_if(
                it->second, [cutoff](const Announced& a) { return a.loadStartNs < cutoff; }));
            it = it->second.empty() ? m_announced.erase(it) : std::next(it);
        }
    }
    // The order list also bounds repeats of one announcement, which add no arrival.
    while (!m_order.empty() &&
           (m_order.front().first < cutoff || m_count > m_max || m_order.size() > 2 * m_max)) {
        const bool early = m_order.front().first >= cutoff;
        const auto [arrivedNs, keyhash] = m_order.front();
        m_order.pop_front();
        const auto it = m_byKey.find(keyhash);
        if (it == m_byKey.end()) continue;
        // An order entry stands for every arrival of its key at or before its moment; those
        // arrived later stay (their own order entries come later).
        auto& arrivals = it->second;
        for (auto a = arrivals.begin(); a != arrivals.end();) {
            if (a->arrivedNs > arrivedNs) {
                ++a;
                continue;
            }
            if (early) {
                m_droppedNs = std::max(m_droppedNs, a->arrivedNs);
                m_droppedUtc = std::max(m_droppedUtc, a->timestamp);
            }
            a = arrivals.erase(a);
            --m_count;
        }
        if (arrivals.empty()) m_byKey.erase(it);
    }
}

bool ArrivalTable::MayFill(const HashPair& keyhash, const HashPair& hash,
                           long long loadStartNs) const {
    TMutexLock lock(m_mutex);
    if (m_lossNs >= loadStartNs || m_droppedNs >= loadStartNs) return false;
    const auto it = m_byKey.find(keyhash);
    if (it == m_byKey.end()) return true;
    return std::none_of(it->second.begin(), it->second.end(), [&](const Arrival& a) {
        return a.hash != hash && a.arrivedNs >= loadStartNs;
    });
}

bool ArrivalTable::MayServe(const HashPair& keyhash, const HashPair& hash,
                            unsigned long long producedAt, unsigned long long nowUtc) const {
    if (producedAt + m_keepTicks < nowUtc) return false;
    TMutexLock lock(m_mutex);
    if (producedAt < m_knownSinceUtc || producedAt <= m_lossUtc || producedAt <= m_droppedUtc)
        return false;
    const auto it = m_byKey.find(keyhash);
    if (it == m_byKey.end() || it->second.empty()) return true;
    // Equal to the newest news of its key, or refused: which content is newer is read from the
    // order of arrival. A value stored whose own announcement is still on its way is refused
    // too, and costs a load. Arrival order alone can be fooled by a fill that raced a change
    // and was announced after it, so a value is also refused when other content produced after
    // it is known (that comparison, across hosts' clocks, can only refuse more).
    const Arrival* newest = &it->second.front();
    for (const Arrival& a : it->second)
        if (a.arrivedNs >= newest->arrivedNs) newest = &a;
    if (newest->hash != hash) return false;
    return std::none_of(it->second.begin(), it->second.end(), [&](const Arrival& a) {
        return a.hash != hash && a.timestamp > producedAt;
    });
}

ArrivalTable::ChangeHeard ArrivalTable::HeardOfChange(const HashPair& keyhash,
                                                      const HashPair& answered,
                                                      const HashPair& reloaded,
                                                      long long answerNs) const {
    constexpr HashPair kInvalidated{0, 0};
    TMutexLock lock(m_mutex);
    ChangeHeard heard;
    heard.lostNs = std::max(m_lossNs, m_droppedNs);
    heard.startNs = m_startNs;
    const auto it = m_byKey.find(keyhash);
    if (it == m_byKey.end()) return heard;
    // The answer's own content announced again after a change supersedes that change (a fill
    // of it that raced the change is re-announced after it, see Record).
    long long lastAnswered = -1;
    for (const Arrival& a : it->second)
        if (a.hash == answered && a.arrivedNs <= answerNs)
            lastAnswered = std::max(lastAnswered, a.arrivedNs);
    heard.arrivals = static_cast<int>(it->second.size());
    for (const Arrival& a : it->second) {
        if (a.arrivedNs > heard.newestNs) {
            heard.newestNs = a.arrivedNs;
            heard.newestAnswered = a.hash == answered;
        }
        if (a.hash != answered && a.arrivedNs > (lastAnswered < 0 ? answerNs : lastAnswered) &&
            (heard.otherNs < 0 || a.arrivedNs < heard.otherNs))
            heard.otherNs = a.arrivedNs;
    }
    const auto replaces = [&](const Arrival& a) {
        return (a.hash == reloaded || a.hash == kInvalidated) && a.arrivedNs > lastAnswered;
    };
    if (lastAnswered < 0) {
        // The answer's content was not heard of yet: a value just loaded, whose announcement is
        // on its way. What replaced the content before it is the newest change heard of before
        // the answer; older changes are older than the answer's content.
        for (const Arrival& a : it->second)
            if (replaces(a) && a.arrivedNs <= answerNs)
                heard.heardNs = std::max(heard.heardNs, a.arrivedNs);
        if (heard.heardNs >= 0) return heard;
    }
    for (const Arrival& a : it->second)
        if (replaces(a) && (heard.heardNs < 0 || a.arrivedNs < heard.heardNs))
            heard.heardNs = a.arrivedNs;
    return heard;
}

bool ArrivalTable::IsNewestReceived(const HashPair& keyhash, const HashPair& hash,
                                    unsigned long long timestamp,
                                    unsigned long long marginTicks) const {
    TMutexLock lock(m_mutex);
    if (m_skippedCount >= m_max / 4 + 1) return false;  // no room to remember it
    const auto it = m_byKey.find(keyhash);
    if (it == m_byKey.end()) return false;
    const Arrival* newest = nullptr;
    for (const Arrival& a : it->second)
        if (a.arrivedNs >= m_skipFromNs && (!newest || a.timestamp > newest->timestamp))
            newest = &a;
    if (!newest || newest->hash != hash) return false;
    return marginTicks == 0 || timestamp <= newest->timestamp + marginTicks;
}

void ArrivalTable::RememberSkipped(const HashPair& keyhash, const HashPair& hash,
                                   unsigned long long timestamp) {
    TMutexLock lock(m_mutex);
    std::vector<Skipped>& skipped = m_skipped[keyhash];
    for (Skipped& s : skipped) {
        if (s.hash != hash) continue;
        s.timestamp = std::max(s.timestamp, timestamp);  // the newest fill of it stands for all
        s.atNs = SteadyNowNs();
        return;
    }
    skipped.push_back({hash, timestamp, SteadyNowNs()});
    ++m_skippedCount;
}

std::vector<std::pair<HashPair, unsigned long long>> ArrivalTable::TakeOwed(
    const HashPair& keyhash, const HashPair& hash, unsigned long long timestamp) {
    std::vector<std::pair<HashPair, unsigned long long>> owed;
    TMutexLock lock(m_mutex);
    const auto it = m_skipped.find(keyhash);
    if (it == m_skipped.end()) return owed;
    std::erase_if(it->second, [&](const Skipped& s) VEL_REQUIRES(m_mutex) {
        if (s.hash == hash || s.timestamp <= timestamp) return false;
        owed.emplace_back(s.hash, s.timestamp);
        --m_skippedCount;
        return true;
    });
    if (it->second.empty()) m_skipped.erase(it);
    return owed;
}

void ArrivalTable::RestartSkipping(long long nowNs) {
    TMutexLock lock(m_mutex);
    m_skipFromNs = nowNs;
}

std::size_t ArrivalTable::Size() const {
    TMutexLock lock(m_mutex);
    return m_count;
}

}  // namespace velmora::caching
