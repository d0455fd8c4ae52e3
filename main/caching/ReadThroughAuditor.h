// The auditor of a read-through cache (ReadThroughOptions::audit): checks a sample of the
// cache's answers against the source on a thread of its own and counts what it finds. Private to
// the library; the engine owns it and stops it before anything a loader may use goes away.
//
// The caller of Get pays Sampled() (a thread-local random draw) and, for a sampled answer, Offer
// (a copy of the key, the value's pointer and the loader into a bounded queue under a leaf
// mutex). Everything else runs on the auditor's thread: the cap of re-loads per second, the
// loader, the codec (to hash the answer and the re-loaded value as the cache does), the
// service's table of arrivals (its leaf lock) and the log line. No lock of the auditor is held
// while the loader or the codec runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "caching/ReadThroughCache.h"

namespace velmora::caching::readthrough {

class Auditor {
public:
    using AnyValue = ReadThroughCore::AnyValue;
    using Loader = ReadThroughCore::Loader;

    // `keyHash` and `encode` are called on the auditor's thread until Stop returns.
    Auditor(const ReadThroughOptions& options, ReadThroughCore::Encode encode,
            std::shared_ptr<RedisPubsub> service,
            std::function<HashPair(const std::string&)> keyHash);
    ~Auditor();
    Auditor(const Auditor&) = delete;
    Auditor& operator=(const Auditor&) = delete;

    // Whether to check the answer at hand. Any thread; lock-free.
    bool Sampled();
    // Counts a sampled answer; false (counted as dropped) when this second's re-loads are all
    // taken already, so that a caller over the cap pays no copy and no hand-off. Any thread;
    // lock-free (the second's count is approximate across threads; the auditor's own cap is
    // exact).
    bool Admit();
    // Queues a check of `value`, answered for `key` just now; `loader` re-loads it. Dropped
    // (counted) when the queue is full. REQUIRES: Admit returned true. Any thread.
    void Offer(const std::string& key, AnyValue value, Loader loader);
    // When it returns, the auditor's thread has ended: no loader or codec runs any more, and
    // what was queued is let go. Idempotent.
    void Stop();
    ReadThroughAuditFigures Figures() const;

    // Upper bounds of the age buckets, ms; the last bucket has none.
    static constexpr long long kAgeBoundsMs[] = {1,   2,    5,    10,   20,    50,    100,  200,
                                                 500, 1000, 2000, 5000, 10000, 30000, 60000};
    static constexpr std::size_t kAgeBuckets = std::size(kAgeBoundsMs) + 1;

private:
    struct Sample {
        std::string key;
        AnyValue value;
        Loader loader;
        long long answerNs = 0;
    };
    // A sample whose re-loaded content no announcement has told of yet: decided once one
    // arrives, or as unannounced at `deadlineNs`.
    struct Pending {
        HashPair keyhash;
        HashPair answered;
        HashPair reloaded;
        long long answerNs = 0;
        long long deadlineNs = 0;
    };
    enum class Verdict { Consistent, Inconsistent, Unannounced, Undecided, NotYet };

    void Run();
    void Check(Sample& sample);
    // The verdict on a sample whose re-load differed; `last`: no later look will be made.
    // For an inconsistent verdict, `why` says why, for the log line.
    Verdict Judge(const HashPair& keyhash, const HashPair& answered, const HashPair& reloaded,
                  long long answerNs, bool last, long long& ageNs, std::string& why) const;
    // Whether the service can vouch for what arrived over the sample's span: from the window
    // before the answer until now.
    bool Vouched(long long answerNs, long long lostNs, long long knownFromNs) const;
    void Count(Verdict verdict, const HashPair& keyhash, long long ageNs, const std::string& why);
    HashPair HashOf(const AnyValue& value) const;

    const ReadThroughCore::Encode m_encode;
    const std::shared_ptr<RedisPubsub> m_service;
    const std::function<HashPair(const std::string&)> m_keyHash;
    const std::string m_name;
    const std::uint64_t m_threshold;  // of a 64-bit draw; sampled below it
    const bool m_always;              // a rate of 1
    const long long m_windowNs;
    const unsigned int m_maxPerSec;
    const std::size_t m_queueLimit;
    const long long m_horizonNs;  // of the service's table of arrivals; 0 without a service

    std::mutex m_mutex;  // a leaf: guards m_queue and m_stop
    std::condition_variable m_wake;
    std::deque<Sample> m_queue;
    bool m_stop = false;

    // The auditor's thread only.
    std::vector<Pending> m_pending;
    long long m_capSecond = -1;
    unsigned int m_capUsed = 0;

    std::atomic<long long> m_admitSecond{-1};
    std::atomic<unsigned int> m_admitted{0};

    struct Counts {
        std::atomic<long long> samples{0}, dropped{0}, reloads{0}, undecided{0}, consistent{0},
            inconsistent{0}, unannounced{0}, ageMaxNs{-1};
        std::atomic<long long> ages[kAgeBuckets] = {};
        std::atomic<long long> lastLogNs{0}, logged{0};
    } m_counts;

    std::thread m_thread;  // last: started once everything above is in place
};

}  // namespace velmora::caching::readthrough
