#include "caching/ReadThroughAuditor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>

#include "caching/CoherenceMessages.h"
#include "velcoreplatform/TLog.h"
#include "velsys/Hash.h"

namespace velmora::caching::readthrough {

namespace {

constexpr long long kNsPerMs = 1000000LL;
constexpr long long kNsPerSec = 1000000000LL;
constexpr long long kLogEveryNs = 60LL * kNsPerSec;
constexpr HashPair kNoHash{0, 0};
// The longest a sample may wait for its re-load whatever the window (a window of 0 would
// otherwise drop every sample).
constexpr long long kLeastWaitNs = 100 * kNsPerMs;

long long NowNs() {
    return RedisPubsub::FillClockNs();
}

// A draw of 64 random bits from the calling thread's own generator (xorshift64*), seeded once
// per thread.
std::uint64_t Draw() {
    thread_local std::uint64_t state = [] {
        std::uint64_t seed = std::random_device{}();
        seed = (seed << 32) ^ std::random_device{}();
        return seed ? seed : 0x9E3779B97F4A7C15ULL;
    }();
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

std::uint64_t ThresholdOf(double rate) {
    if (!(rate > 0)) return 0;
    if (rate >= 1) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(rate * 18446744073709551616.0);
}

// What this process knew of a key whose change no announcement told of, for the log line: a
// lost announcement leaves nothing after the answer; a correction that did not come leaves the
// answer's own content newest.
std::string KnownOfKey(const RedisPubsub::ChangeHeard& heard, long long answerNs) {
    if (heard.arrivals == 0) return "no announcement of the key is known here";
    const long long ms = (heard.newestNs - answerNs) / kNsPerMs;
    return std::to_string(heard.arrivals) + " announcements of the key known here, the newest " +
           std::to_string(ms < 0 ? -ms : ms) + " ms " + (ms < 0 ? "before" : "after") +
           " the answer, of " + (heard.newestAnswered ? "the answered" : "other") + " content";
}

}  // namespace

Auditor::Auditor(const ReadThroughOptions& options, ReadThroughCore::Encode encode,
                 std::shared_ptr<RedisPubsub> service,
                 std::function<HashPair(const std::string&)> keyHash)
    : m_encode(std::move(encode)),
      m_service(std::move(service)),
      m_keyHash(std::move(keyHash)),
      m_name(options.name),
      m_threshold(ThresholdOf(options.auditSampleRate)),
      m_always(options.auditSampleRate >= 1),
      m_windowNs(static_cast<long long>(options.auditWindowMs) * kNsPerMs),
      m_maxPerSec(options.auditMaxReloadsPerSec),
      m_queueLimit(std::max(1u, options.auditQueue)),
      m_horizonNs(m_service ? m_service->ValueLifetimeSec() * kNsPerSec : 0) {
    m_thread = std::thread([this] { Run(); });
}

Auditor::~Auditor() {
    Stop();
}

bool Auditor::Sampled() {
    if (m_always) return true;
    return m_threshold != 0 && Draw() < m_threshold;
}

bool Auditor::Admit() {
    ++m_counts.samples;
    const long long second = NowNs() / kNsPerSec;
    long long current = m_admitSecond.load(std::memory_order_relaxed);
    if (current != second && m_admitSecond.compare_exchange_strong(current, second))
        m_admitted.store(0, std::memory_order_relaxed);
    if (m_admitted.fetch_add(1, std::memory_order_relaxed) < m_maxPerSec) return true;
    ++m_counts.dropped;
    return false;
}

void Auditor::Offer(const std::string& key, AnyValue value, Loader loader) {
    Sample sample{key, std::move(value), std::move(loader), NowNs()};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_stop && m_queue.size() < m_queueLimit) {
            m_queue.push_back(std::move(sample));
            m_wake.notify_one();
            return;
        }
    }
    ++m_counts.dropped;
    // The sample (its value and loader) goes here, with no lock held.
}

void Auditor::Stop() {
    std::deque<Sample> left;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_wake.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    left.swap(m_queue);
}

void Auditor::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        long long nextDue = std::numeric_limits<long long>::max();
        for (const Pending& p : m_pending) nextDue = std::min(nextDue, p.deadlineNs);
        if (m_queue.empty()) {
            const long long waitNs = std::clamp(nextDue - NowNs(), 0LL, kNsPerSec);
            m_wake.wait_for(lock, std::chrono::nanoseconds(waitNs),
                            [this] { return m_stop || !m_queue.empty(); });
            if (m_stop) break;
        }
        std::optional<Sample> sample;
        if (!m_queue.empty()) {
            sample.emplace(std::move(m_queue.front()));
            m_queue.pop_front();
        }
        lock.unlock();
        // Samples waiting for an announcement: decided as soon as one is known, else at their
        // deadline.
        const long long now = NowNs();
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            long long ageNs = 0;
            std::string why;
            const Verdict verdict = Judge(it->keyhash, it->answered, it->reloaded, it->answerNs,
                                          now >= it->deadlineNs, ageNs, why);
            if (verdict == Verdict::NotYet) {
                ++it;
                continue;
            }
            Count(verdict, it->keyhash, ageNs, why);
            it = m_pending.erase(it);
        }
        if (sample) {
            Check(*sample);
            sample.reset();  // the value and the loader go with no lock held
        }
        lock.lock();
    }
}

HashPair Auditor::HashOf(const AnyValue& value) const {
    const ExternalBytes bytes = m_encode(value.get());
    return THash128(bytes.data(), bytes.size(), 0);
}

void Auditor::Check(Sample& sample) {
    const long long now = NowNs();
    // The source may have changed since the answer: a re-load this late would judge the answer
    // against later data.
    if (now - sample.answerNs > std::max(m_windowNs, kLeastWaitNs)) {
        ++m_counts.dropped;
        return;
    }
    if (now / kNsPerSec != m_capSecond) {
        m_capSecond = now / kNsPerSec;
        m_capUsed = 0;
    }
    if (m_capUsed >= m_maxPerSec) {
        ++m_counts.dropped;
        return;
    }
    ++m_capUsed;
    ++m_counts.reloads;
    HashPair answered, reloaded;
    try {
        AnyValue fresh = sample.loader();
        if (!fresh) throw std::runtime_error("the loader returned nothing");
        reloaded = HashOf(fresh);
        answered = HashOf(sample.value);
    } catch (...) {
        Count(Verdict::Undecided, kNoHash, 0, {});
        return;
    }
    const HashPair keyhash = m_keyHash(sample.key);
    long long ageNs = 0;
    std::string why;
    Verdict verdict = Verdict::Consistent;
    if (answered != reloaded) {
        verdict = Judge(keyhash, answered, reloaded, sample.answerNs, false, ageNs, why);
    } else if (m_service) {
        const RedisPubsub::ChangeHeard heard =
            m_service->HeardOfChange(keyhash, answered, reloaded, sample.answerNs);
        if (!Vouched(sample.answerNs, heard.lostNs, heard.knownFromNs))
            verdict = Verdict::Undecided;
    }
    if (verdict != Verdict::NotYet) {
        Count(verdict, keyhash, ageNs, why);
        return;
    }
    if (m_pending.size() >= m_queueLimit) {
        Count(Verdict::Undecided, keyhash, 0, {});
        return;
    }
    m_pending.push_back({keyhash, answered, reloaded, sample.answerNs, NowNs() + m_windowNs});
}

bool Auditor::Vouched(long long answerNs, long long lostNs, long long knownFromNs) const {
    if (!m_service->Hears()) return false;
    const long long spanStart = answerNs - m_windowNs;
    if (lostNs >= spanStart || knownFromNs > spanStart) return false;
    return NowNs() - spanStart <= m_horizonNs;
}

Auditor::Verdict Auditor::Judge(const HashPair& keyhash, const HashPair& answered,
                                const HashPair& reloaded, long long answerNs, bool last,
                                long long& ageNs, std::string& why) const {
    // Without a service nothing is announced: every difference is a change no one told of.
    if (!m_service) {
        why =
            "its source changed and no announcement told of it (the cache has no coherence "
            "service)";
        return Verdict::Unannounced;
    }
    const RedisPubsub::ChangeHeard heard =
        m_service->HeardOfChange(keyhash, answered, reloaded, answerNs);
    if (!Vouched(answerNs, heard.lostNs, heard.knownFromNs)) return Verdict::Undecided;
    long long heardNs = heard.heardNs;
    // The re-loaded content was never announced, but newer content of the key was: a publisher
    // that could not reach the server sends only a key's newest content once it can, and that
    // announcement is the news that the answer's content was replaced.
    if (heardNs < 0 && last) heardNs = heard.otherNs;
    if (heardNs < 0) {
        if (!last) return Verdict::NotYet;
        why = "its source changed and no announcement told of it (" + KnownOfKey(heard, answerNs) +
              ")";
        return Verdict::Unannounced;
    }
    // Heard of after the answer, or within the window before it: a race.
    if (heardNs > answerNs - m_windowNs) return Verdict::Consistent;
    ageNs = answerNs - heardNs;
    why = "it was given " + std::to_string(ageNs / kNsPerMs) +
          " ms after this process heard of the change";
    return Verdict::Inconsistent;
}

void Auditor::Count(Verdict verdict, const HashPair& keyhash, long long ageNs,
                    const std::string& why) {
    switch (verdict) {
        case Verdict::Consistent:
            ++m_counts.consistent;
            return;
        case Verdict::Undecided:
        case Verdict::NotYet:
            ++m_counts.undecided;
            return;
        case Verdict::Unannounced:
            ++m_counts.unannounced;
            break;
        case Verdict::Inconsistent: {
            const long long ms = ageNs / kNsPerMs;
            std::size_t bucket = 0;
            while (bucket < std::size(kAgeBoundsMs) && ms > kAgeBoundsMs[bucket]) ++bucket;
            ++m_counts.ages[bucket];
            long long max = m_counts.ageMaxNs.load();
            while (ageNs > max && !m_counts.ageMaxNs.compare_exchange_weak(max, ageNs)) {
            }
            break;
        }
    }
    const long long count = ++m_counts.inconsistent;
    // The first finding is logged at once; later ones at most once a minute, with the count.
    const long long now = NowNs();
    long long last = m_counts.lastLogNs.load();
    if ((last != 0 && now - last < kLogEveryNs) ||
        !m_counts.lastLogNs.compare_exchange_strong(last, now))
        return;
    const long long since = count - m_counts.logged.exchange(count);
    TLog::LogMessage(TLog::Warn,
                     TFormatString("ReadThroughCache %1: an answer was older than its source "
                                   "(key hash %2): %3 (%4 such answers since the last such line)",
                                   TString::fromStdString(m_name), FormatHashPair(keyhash),
                                   TString::fromStdString(why), since));
}

ReadThroughAuditFigures Auditor::Figures() const {
    ReadThroughAuditFigures f;
    f.samples = m_counts.samples;
    f.dropped = m_counts.dropped;
    f.reloads = m_counts.reloads;
    f.undecided = m_counts.undecided;
    f.consistent = m_counts.consistent;
    f.inconsistent = m_counts.inconsistent;
    f.unannounced = m_counts.unannounced;
    long long ages[kAgeBuckets];
    long long aged = 0;
    for (std::size_t i = 0; i < kAgeBuckets; ++i) aged += ages[i] = m_counts.ages[i];
    const long long maxNs = m_counts.ageMaxNs;
    if (aged > 0) {
        f.ageMaxMs = maxNs / kNsPerMs;
        // The bucket's upper bound, never more than the largest age seen.
        const auto quantile = [&](double q) {
            const auto rank = static_cast<long long>(std::ceil(q * static_cast<double>(aged)));
            long long seen = 0;
            for (std::size_t i = 0; i < kAgeBuckets; ++i) {
                seen += ages[i];
                if (seen >= rank && i < std::size(kAgeBoundsMs))
                    return std::min(kAgeBoundsMs[i], f.ageMaxMs);
                if (seen >= rank) break;
            }
            return f.ageMaxMs;
        };
        f.ageP50Ms = quantile(0.5);
        f.ageP99Ms = quantile(0.99);
    }
    const long long decided = f.consistent + f.inconsistent;
    if (f.inconsistent > 0) {
        f.nines = -std::log10(static_cast<double>(f.inconsistent) / static_cast<double>(decided));
    } else if (decided > 0) {
        f.nines = std::log10(static_cast<double>(decided));
        f.ninesAtLeast = true;
    }
    return f;
}

}  // namespace velmora::caching::readthrough
