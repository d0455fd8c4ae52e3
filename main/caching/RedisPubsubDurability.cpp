// The durable side of the coherence service: announcements that survive a gap in the
// subscription, and publishes that survive a gap in the connection.
//
// Every announcement is appended to a capped stream of the namespace and published: on a single
// server the two commands go together on one connection (one round trip), on a cluster the append
// to the stream's node and the publish through any node that answers. The append goes first, so
// that a subscriber that misses the message live finds it in the stream; the publish goes out
// whatever became of the append. What did not go out waits in a queue (per key hash, the newest
// wins) that the retry thread sends; an append made late is published again. While a failure is
// known, announcements are queued without being tried, so fills do not wait on a dead node. An
// append given up for good leaves a marker in the stream ("g": how many) that makes a replay
// past it a gap.
//
// A subscriber remembers the id of the last stream entry it applied; after every
// (re)subscription, before the subscription counts as confirmed, it reads the stream from there
// in pages and runs each entry through the same path as a live message. Live messages received
// meanwhile are harmless duplicates (the dirty rule is idempotent); those applied live since the
// previous catch-up are skipped and counted once.
//
// The position is only moved by a catch-up, so a catch-up replays everything announced since the
// previous one that was not seen live (an approximation that keeps live delivery free of any
// bookkeeping on the server). The stream no longer reaching back to that position (trimmed past
// it, or a restarted server that lost it) is a gap the stream cannot bridge: every tracked entry
// is then treated as dirty, which costs speed, never correctness.
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <string>
#include <unordered_map>

#include "caching/RedisPubsubImpl.h"
#include "caching/RedisPubsubState.h"
#include "metrics2/Metrics.h"
#include "velcoredata/DateTime.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/Hash.h"

namespace velmora::caching {

namespace {

constexpr int kReplayPage = 1000;
constexpr long long kNsPerMs = 1000000;
constexpr unsigned long long kTicksPerMs = 10000;  // DateTime ticks are 100 ns
constexpr long long kLagWindowNs = 60LL * 1000 * kNsPerMs;
constexpr std::size_t kMaxLagSamples = 8192;
// How often the retry thread tries again while announcements wait.
constexpr auto kRetryInterval = std::chrono::milliseconds(100);

std::uint64_t AnnouncementKey(const std::string& channel, const std::string& message) {
    const std::uint64_t a = THash32(channel.data(), channel.size(), 0x9E3779B9u);
    const std::uint64_t b = THash32(message.data(), message.size(), 0x85EBCA6Bu);
    return (a << 32) | b;
}

constexpr const char* kHealthScope = "RedisPubsub::Health";

// Tells the metrics facility what each figure of the health scope is, once per process.
void DescribeHealth() {
    static const bool described = [] {
#define VELCACHE_HEALTH_DESCRIBE(member, tag, kind, initial, help) \
    Metrics::DescribeFigure(kHealthScope, tag, Metrics::FigureKind::kind, help);
        VELCACHE_COHERENCE_HEALTH(VELCACHE_HEALTH_DESCRIBE)
#undef VELCACHE_HEALTH_DESCRIBE
        return true;
    }();
    (void)described;
}

bool IsError(const std::optional<RedisReplyValue>& reply) {
    return !reply || reply->type == RedisReplyValue::Type::Error;
}

}  // namespace

RedisPubsub::Impl::Sent RedisPubsub::Impl::SendAnnouncement(const std::string& channel,
                                                            const std::string& message,
                                                            bool append) {
    Sent sent;
    if (!append || !m_streamOn) {
        sent.appended = !m_streamOn;
        sent.published = m_redis->TryPublish(TString::fromStdString(channel),
                                             TString::fromStdString(message), {});
        return sent;
    }
    // The append goes first, so that a subscriber that misses the live message finds it in the
    // stream; the publish goes out whatever became of the append.
    const std::vector<std::optional<RedisReplyValue>> replies =
        m_redis->TryEach({{"XADD", m_streamKey.toStdString(), "MAXLEN", "~",
                           std::to_string(m_streamCap), "*", "c", channel, "m", message},
                          {"PUBLISH", channel, message}});
    const std::optional<RedisReplyValue>& appended = replies[0];
    if (appended && appended->type == RedisReplyValue::Type::Error &&
        appended->text.find("unknown command") != std::string::npos && m_streamOn.exchange(false)) {
        TLog::LogMessage(TLog::Warn,
                         TFormatString("RedisPubsub: the Redis server has no streams (%1); "
                                       "announcements missed during a gap cannot be replayed.",
                                       appended->text.substr(0, 200)));
    }
    sent.appended = !m_streamOn || (appended && appended->type == RedisReplyValue::Type::String);
    sent.published = replies[1] && replies[1]->type == RedisReplyValue::Type::Integer;
    return sent;
}

void RedisPubsub::Impl::PublishOrQueue(const TString& channel, const TString& message) {
    const std::string c = channel.toStdString(), m = message.toStdString();
    // While the stream's node or every node is known to be down, a fill does not wait for it:
    // what cannot go out now is queued at once, and the retry thread probes.
    // Once the service knows the server is silent, neither: the retry thread sends it when the
    // server answers, and the caller does not wait a command time-out on a server that froze.
    Sent sent;
    const bool silent = KnownSilent();
    const bool streamDown = silent || m_streamDown.load();
    const bool publishDown = silent || m_publishDown.load();
    if (publishDown && (streamDown || !m_streamOn)) {
        sent = Sent{!m_streamOn, false};
    } else if (streamDown) {
        sent = SendAnnouncement(c, m, false);
        sent.appended = false;
    } else {
        sent = SendAnnouncement(c, m, true);
    }
    if (sent.published) ++m_counters.published;
    if (!sent.published) m_publishDown = true;
    if (!sent.appended) m_streamDown = true;

    bool wake;
    {
        TMutexLock lock(m_durableMutex);
        auto it = m_queue.find(c);
        const Unsent pending{m, !sent.published, !sent.appended};
        if (!pending.needPublish && !pending.needAppend) {
            // A newer announcement of the key hash went out whole: the queued one is superseded.
            if (it != m_queue.end()) m_queue.erase(it);
        } else if (!m_stopped && (it != m_queue.end() || m_queue.size() < m_queueLimit)) {
            if (it != m_queue.end()) {
                it->second = pending;     // the newest announcement of a key hash wins
                ++m_counters.superseded;  // nothing is lost: the newest content goes out
            } else {
                m_queue.emplace(c, pending);
            }
            if (pending.needPublish) ++m_counters.publishFailuresQueued;
            if (pending.needAppend) ++m_counters.appendFailuresQueued;
        } else {
            ++m_counters.dropped;
            if (pending.needAppend) LoseAppend();
        }
        wake = !m_queue.empty() || m_lostAppends > 0;
    }
    if (wake) m_retryWake.notify_one();
}

void RedisPubsub::Impl::LoseAppend() {
    ++m_lostAppends;
    ++m_counters.appendsLost;
}

bool RedisPubsub::Impl::ResendQueued() {
    // A gap marker owed goes first: an announcement that never reached the stream must make a
    // subscriber that replays past its place treat the replay as incomplete.
    long long lost;
    {
        TMutexLock lock(m_durableMutex);
        lost = m_lostAppends;
    }
    if (lost > 0 && m_streamOn) {
        const std::optional<RedisReplyValue> marked =
            m_redis->TryCommand({"XADD", m_streamKey.toStdString(), "MAXLEN", "~",
                                 std::to_string(m_streamCap), "*", "g", std::to_string(lost)});
        if (!marked || marked->type != RedisReplyValue::Type::String) {
            m_streamDown = true;
            return false;
        }
        m_streamDown = false;
        TMutexLock lock(m_durableMutex);
        m_lostAppends -= lost;
    } else if (lost > 0) {
        TMutexLock lock(m_durableMutex);
        m_lostAppends = 0;  // no stream: nobody replays
    }
    for (;;) {
        std::pair<std::string, Unsent> next;
        {
            TMutexLock lock(m_durableMutex);
            if (m_queue.empty()) return true;
            next = *m_queue.begin();
            m_queue.erase(m_queue.begin());
        }
        // A late append is published again, so that a subscriber that caught up before the
        // append landed hears of it live (a duplicate is harmless).
        const Sent sent = SendAnnouncement(next.first, next.second.message, next.second.needAppend);
        const bool published = sent.published, appended = sent.appended || !next.second.needAppend;
        m_publishDown = !published;
        if (next.second.needAppend) m_streamDown = !sent.appended;
        if (published) ++m_counters.published;
        if (published && appended) {
            ++m_counters.resent;
            continue;
        }
        TMutexLock lock(m_durableMutex);
        // A newer one queued meanwhile wins; else what is still missing stays queued.
        if (!m_queue.emplace(next.first, Unsent{next.second.message, !published, !appended}).second)
            ++m_counters.superseded;
        return false;
    }
}

void RedisPubsub::Impl::RetryLoop() {
    TMutexLock lock(m_durableMutex);
    while (!m_stopRetry) {
        if (m_queue.empty() && m_lostAppends == 0) {
            // Nothing left to probe with (the queue may be off): the next announcement tries
            // for itself.
            m_streamDown = false;
            m_publishDown = false;
            if (m_flushing) return;
            if (!m_streamOn || m_followNs <= 0) {
                m_retryWake.wait(lock.Native());
                continue;
            }
            const bool woken = m_retryWake.wait_for(
                lock.Native(), std::chrono::nanoseconds(m_followNs),
                [this]() VEL_REQUIRES(m_durableMutex) {
                    return m_stopRetry || m_flushing || !m_queue.empty() || m_lostAppends != 0;
                });
            if (woken) continue;
            lock.Unlock();
            FollowLiveInStream();
            lock.Lock();
            continue;
        }
        if (m_flushing && !FlushTimeLeft()) return;
        lock.Unlock();
        const bool drained = ResendQueued();
        lock.Lock();
        if (drained) continue;
        if (m_flushing) {
            // Stop: try again soon, while one more command can end by the deadline.
            if (!FlushTimeLeft()) return;
            const auto lastTry =
                m_flushBy -
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(m_commandTimeout);
            m_retryWake.wait_until(
                lock.Native(),
                std::max(std::chrono::steady_clock::now(),
                         std::min(std::chrono::steady_clock::now() + kRetryInterval, lastTry)));
            continue;
        }
        m_retryWake.wait_for(lock.Native(), kRetryInterval, [this]() VEL_REQUIRES(m_durableMutex) {
            return m_stopRetry || m_flushing;
        });
    }
}

bool RedisPubsub::Impl::FlushTimeLeft() const {
    // While the server answered last, up to the deadline itself (a command takes a round trip);
    // while it did not, only when a whole command time-out still fits.
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_flushBy) return false;
    return !(m_publishDown.load() || m_streamDown.load()) || now + m_commandTimeout <= m_flushBy;
}

RedisPubsub::StopFigures RedisPubsub::Impl::Stop(std::chrono::milliseconds deadline) {
    const auto flushBy = std::chrono::steady_clock::now() + deadline;
    // No listener runs from here on, and no background task is left to announce.
    if (m_state) m_state->Stop();
    {
        TMutexLock lock(m_tasksMutex);
        m_tasksDone.wait(lock.Native(),
                         [this]() VEL_REQUIRES(m_tasksMutex) { return m_pendingTasks == 0; });
    }
    StopFigures figures;
    const long long resentBefore = m_counters.resent.load();
    if (m_retryThread.joinable()) {
        {
            TMutexLock lock(m_durableMutex);
            m_flushing = true;
            m_flushBy = flushBy;
        }
        m_retryWake.notify_all();
        m_retryThread.join();
    }
    {
        TMutexLock lock(m_durableMutex);
        m_stopped = true;
        figures.dropped = static_cast<long long>(m_queue.size());
        m_counters.dropped += figures.dropped;
        m_queue.clear();
    }
    figures.published = m_counters.resent.load() - resentBefore;
    Unsubscribe();
    return figures;
}

namespace {

// The fields of one stream entry: channel "c", message "m", and "g" (the count of a
// publisher's lost appends) on a gap marker; empty when absent.
struct StreamEntry {
    std::string channel, message, lost;
};

StreamEntry ReadStreamEntry(const RedisReplyValue& fieldList) {
    StreamEntry entry;
    const std::vector<RedisReplyValue>& fields = fieldList.elements;
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
        if (fields[i].text == "c") entry.channel = fields[i + 1].text;
        if (fields[i].text == "m") entry.message = fields[i + 1].text;
        if (fields[i].text == "g") entry.lost = fields[i + 1].text;
    }
    return entry;
}

}  // namespace

bool RedisPubsub::Impl::Replay(std::string& last, std::string& gap) {
    const std::string stream = m_streamKey.toStdString();
    // Read first, applied after: only the newest replayed announcement of a key hash may make
    // records filed by arrival dirty (an older one was overtaken before anyone loaded).
    std::vector<std::pair<std::string, std::string>> replayed;  // (channel, message)
    std::unordered_map<std::string, std::size_t> newest;        // channel -> index of its last
    bool read = true;
    for (;;) {
        // Inclusive start: servers before 6.2 have no exclusive ranges; the entry at `last`
        // itself is skipped below.
        const std::optional<RedisReplyValue> page = m_redis->TryCommand(
            {"XRANGE", stream, last, "+", "COUNT", std::to_string(kReplayPage + 1)});
        if (IsError(page) || page->type != RedisReplyValue::Type::Array) {
            read = false;
            break;
        }
        std::size_t fresh = 0;
        for (const RedisReplyValue& entry : page->elements) {
            if (entry.elements.size() != 2 || entry.elements[0].text == last) continue;
            ++fresh;
            last = entry.elements[0].text;
            auto [channel, message, lost] = ReadStreamEntry(entry.elements[1]);
            if (!lost.empty()) {
                // A publisher's marker: announcements it sent live never reached the stream.
                gap = "a publisher could not append " + lost + " announcements to the stream";
                continue;
            }
            bool seen;
            {
                TMutexLock lock(m_durableMutex);
                seen = m_seenLive.count(AnnouncementKey(channel, message)) != 0;
            }
            if (seen) {
                ++m_counters.duplicates;
                continue;
            }
            newest[channel] = replayed.size();
            replayed.emplace_back(std::move(channel), std::move(message));
        }
        if (fresh < static_cast<std::size_t>(kReplayPage)) break;
    }
    for (std::size_t i = 0; i < replayed.size(); ++i) {
        const auto& [channel, message] = replayed[i];
        try {
            Apply(TString::fromStdString(channel), message.data(), static_cast<int>(message.size()),
                  false, newest[channel] == i);
        } catch (...) {
            // Counted as malformed; the rest of the stream still applies.
        }
    }
    return read;
}

std::string RedisPubsub::Impl::CatchUp(bool resubscription) {
    m_state->CatchingUp();
    if (resubscription) {
        // What arrived before the loss may not be the newest any more: fills stop being
        // skipped before anyone can see the re-subscription counted.
        m_arrivals.RestartSkipping(SteadyNowNs());
        ++m_counters.resubscriptions;
    }
    // Without the stream (off, or a server without streams) a gap goes unnoticed, as with
    // publish/subscribe alone.
    std::string cause = m_streamOn ? CatchUpFromStream(resubscription) : std::string();
    AnswerLoss(resubscription, cause);
    // What waits in the queue goes out now that the connection is back.
    m_retryWake.notify_one();
    return cause;
}

std::string RedisPubsub::Impl::CatchUpFromStream(bool resubscription) {
    std::string last, runId;
    {
        TMutexLock lock(m_durableMutex);
        last = m_lastApplied;
        runId = m_runId;
        ++m_catchUps;  // a resume point followed meanwhile is this one's to set
    }
    const std::string stream = m_streamKey.toStdString();
    const std::string nowRunId = StreamServerRunId(stream);
    if (!runId.empty() && !nowRunId.empty() && nowRunId != runId)
        m_state->Restarted(runId, nowRunId);
    const std::string cause = last.empty() ? StartAtStreamTip(stream, resubscription, last)
                                           : ResumeStream(stream, nowRunId == runId, last);
    TMutexLock lock(m_durableMutex);
    m_lastApplied = last;
    m_runId = nowRunId;
    m_seenLive.clear();
    return cause;
}

std::string RedisPubsub::Impl::StreamServerRunId(const std::string& stream) {
    // On a cluster, the master of the stream's slot.
    const std::optional<RedisReplyValue> info =
        m_redis->TryCommandOnNodeOf(stream, {"INFO", "server"});
    if (IsError(info)) return "";
    const auto at = info->text.find("run_id:");
    if (at == std::string::npos) return "";
    return info->text.substr(at + 7, info->text.find_first_of("\r\n", at) - at - 7);
}

std::optional<std::string> RedisPubsub::Impl::StreamTip(const std::string& stream) {
    const std::optional<RedisReplyValue> tip =
        m_redis->TryCommand({"XREVRANGE", stream, "+", "-", "COUNT", "1"});
    if (IsError(tip) || tip->type != RedisReplyValue::Type::Array) return std::nullopt;
    return tip->elements.empty() ? "0-0" : tip->elements[0].elements[0].text;
}

std::string RedisPubsub::Impl::StartAtStreamTip(const std::string& stream, bool resubscription,
                                                std::string& last) {
    if (!resubscription) {
        SeedArrivals();
        // Loads that started before the subscription heard nothing: none of them is kept.
        m_arrivals.RecordLoss(SteadyNowNs(), 0);
    }
    // Where the stream ends now; with no earlier position nothing can be replayed.
    const std::optional<std::string> tip = StreamTip(stream);
    if (!tip) return resubscription ? "the announcement stream could not be read" : "";
    last = *tip;
    return resubscription ? "no earlier position in the announcement stream" : "";
}

std::string RedisPubsub::Impl::ResumeStream(const std::string& stream, bool sameRunId,
                                            std::string& last) {
    bool reaches = true;
    if (last != "0-0") {
        const std::optional<RedisReplyValue> at =
            m_redis->TryCommand({"XRANGE", stream, last, last});
        reaches = !IsError(at) && at->type == RedisReplyValue::Type::Array && !at->elements.empty();
    } else {
        reaches = sameRunId;  // an empty stream then: only a restart loses it
    }
    if (!reaches) {
        last = StreamTip(stream).value_or("");
        return sameRunId ? "the announcement stream was trimmed past the last entry applied"
                         : "the Redis server restarted without the announcement stream";
    }
    std::string gap;
    if (!Replay(last, gap)) return "the announcement stream could not be read";
    return gap;
}

void RedisPubsub::Impl::AnswerLoss(bool resubscription, std::string& cause) {
    // Again after the replay: nothing it filed counts either.
    if (resubscription || !cause.empty()) m_arrivals.RestartSkipping(SteadyNowNs());
    if (!cause.empty() || (resubscription && !m_streamOn)) {
        // Read-through caches keep no fill that loaded across the loss.
        m_arrivals.RecordLoss(SteadyNowNs(), DateTime::UtcNow().GetRepresentation());
    }
    if (cause.empty()) return;
    m_lastGapNs = SteadyNowNs();
    ++m_counters.gaps;
    m_state->Gap(cause);
    if (m_flushOnGap) {
        // Counted first: whoever sees an entry dirtied by the flush sees the flush counted.
        ++m_counters.conservativeFlushes;
        FlushAllTracked();
        cause += "; every tracked entry treated as dirty";
    }
}

void RedisPubsub::Impl::AfterSilence(std::chrono::nanoseconds silence) {
    if (m_maxDeafNs <= 0 || silence.count() <= m_maxDeafNs) return;
    // A re-subscription during the silence may have found a gap and answered it already.
    if (m_lastGapNs >= SteadyNowNs() - silence.count()) return;
    m_arrivals.RestartSkipping(SteadyNowNs());
    // Read-through caches keep no fill that loaded across the silence.
    m_arrivals.RecordLoss(SteadyNowNs(), DateTime::UtcNow().GetRepresentation());
    ++m_counters.gaps;
    m_state->Gap("nothing heard from the server for " + std::to_string(silence.count() / 1000000) +
                 " ms");
    if (m_flushOnGap) {
        ++m_counters.conservativeFlushes;  // first, as above
        FlushAllTracked();
    }
}

void RedisPubsub::Impl::SeedArrivals() {
    const std::string stream = m_streamKey.toStdString();
    const unsigned long long nowUtc = DateTime::UtcNow().GetRepresentation();
    const unsigned long long since = nowUtc - std::min(nowUtc, m_arrivals.HorizonTicks());
    // Stream ids carry the appending server's clock in Unix milliseconds.
    const auto tick = static_cast<unsigned long long>(DateTimeSpan::kTicksPerMillisecond);
    const long long sinceUnixMs =
        since > DateTime::kUnixEpochTicks
            ? static_cast<long long>((since - DateTime::kUnixEpochTicks) / tick)
            : 0;
    std::string from = std::to_string(sinceUnixMs) + "-0";
    std::size_t read = 0;
    for (;;) {
        const std::optional<RedisReplyValue> page = m_redis->TryCommand(
            {"XRANGE", stream, from, "+", "COUNT", std::to_string(kReplayPage + 1)});
        if (IsError(page) || page->type != RedisReplyValue::Type::Array) return;
        std::size_t fresh = 0;
        for (const RedisReplyValue& entry : page->elements) {
            if (entry.elements.size() != 2 || (read > 0 && entry.elements[0].text == from))
                continue;
            ++fresh;
            ++read;
            from = entry.elements[0].text;
            const auto [channel, message, lost] = ReadStreamEntry(entry.elements[1]);
            if (!lost.empty()) {
                // A publisher lost announcements before this marker: nothing produced before
                // it can be vouched for.
                const unsigned long long markerMs = std::strtoull(from.c_str(), nullptr, 10);
                m_arrivals.RecordLoss(0, DateTime::kUnixEpochTicks + markerMs * tick);
                continue;
            }
            const TString text = TString::fromStdString(channel);
            if (!text.startsWith(m_namespace) || message.empty()) continue;
            try {
                const auto [hash, timestamp] = ParseMessage(TString::fromStdString(message));
                m_arrivals.Record(ParseHashPair(text.mid(m_namespace.length())), hash, timestamp,
                                  0);
            } catch (...) {
                // Unreadable entries vouch for nothing and change nothing.
            }
        }
        if (fresh < static_cast<std::size_t>(kReplayPage)) break;
    }
    m_arrivals.SetKnownSince(since);
}

void RedisPubsub::Impl::FollowLiveInStream() {
    std::string from;
    std::uint64_t catchUps = 0;
    {
        TMutexLock lock(m_durableMutex);
        if (m_lastApplied.empty() || m_seenLive.empty()) return;
        from = m_lastApplied;
        catchUps = m_catchUps;
    }
    const std::string stream = m_streamKey.toStdString();
    std::string last = from;
    std::vector<std::uint64_t> passed;
    for (bool more = true; more;) {
        const std::optional<RedisReplyValue> page = m_redis->TryCommand(
            {"XRANGE", stream, last, "+", "COUNT", std::to_string(kReplayPage + 1)});
        if (IsError(page) || page->type != RedisReplyValue::Type::Array) break;
        std::size_t fresh = 0;
        TMutexLock lock(m_durableMutex);
        for (const RedisReplyValue& entry : page->elements) {
            if (entry.elements.size() != 2 || entry.elements[0].text == last) continue;
            ++fresh;
            const auto [channel, message, lost] = ReadStreamEntry(entry.elements[1]);
            const std::uint64_t key = AnnouncementKey(channel, message);
            // A marker stays ahead for the next catch-up to find; an announcement not heard
            // live yet may still be on its way, or lost, and is that catch-up's to replay.
            if (!lost.empty() || m_seenLive.count(key) == 0) {
                more = false;
                break;
            }
            last = entry.elements[0].text;
            passed.push_back(key);
        }
        if (fresh < static_cast<std::size_t>(kReplayPage)) more = false;
    }
    TMutexLock lock(m_durableMutex);
    if (last == from || m_catchUps != catchUps || m_lastApplied != from) return;
    m_lastApplied = last;
    for (const std::uint64_t key : passed) m_seenLive.erase(key);
}

void RedisPubsub::Impl::FlushAllTracked() {
    TExclusiveLockGuard hold(m_lock);
    // In blocks rather than one array: the tracked records together can be hundreds of KiB, and
    // a freed block that large makes the allocator keep as much at the top of each arena.
    std::deque<CacheEntryInfo> dirty;
    for (const auto& [keyhash, records] : m_keyhashToCacheEntries)
        dirty.insert(dirty.end(), records.begin(), records.end());
    m_keyhashToCacheEntries.clear();
    m_guidAndCacheToKeyHash.clear();
    m_evictedEntries.clear();
    m_evictedGuidAndCache.clear();
    m_silence.flushed += static_cast<long long>(dirty.size());
    NotifyAllDirty(dirty);
}

void RedisPubsub::Impl::NoteLive(const TString& channel, const void* data, int length) {
    const std::string message(static_cast<const char*>(data), static_cast<std::size_t>(length));
    if (m_streamOn) {
        TMutexLock lock(m_durableMutex);
        if (m_seenLive.size() < static_cast<std::size_t>(m_streamCap))
            m_seenLive.insert(AnnouncementKey(channel.toStdString(), message));
    }
    // The message parsed already: the timestamp follows the "@".
    const unsigned long long timestamp =
        std::strtoull(message.c_str() + message.find('@') + 1, nullptr, 16);
    const long long now = SteadyNowNs();
    const unsigned long long utc = DateTime::UtcNow().GetRepresentation();
    const long long lagMs =
        utc > timestamp ? static_cast<long long>((utc - timestamp) / kTicksPerMs) : 0;
    TMutexLock lock(m_healthMutex);
    m_lags.emplace_back(now, lagMs);
    while (m_lags.size() > kMaxLagSamples || m_lags.front().first < now - kLagWindowNs)
        m_lags.pop_front();
}

CoherenceHealth RedisPubsub::Impl::GetHealth() {
    CoherenceHealth h;
#define VELCACHE_HEALTH_READ_Counter(member) h.member = m_counters.member.load();
#define VELCACHE_HEALTH_READ_Gauge(member)
#define VELCACHE_HEALTH_READ(member, tag, kind, initial, help) VELCACHE_HEALTH_READ_##kind(member)
    VELCACHE_COHERENCE_HEALTH(VELCACHE_HEALTH_READ)
#undef VELCACHE_HEALTH_READ
#undef VELCACHE_HEALTH_READ_Gauge
#undef VELCACHE_HEALTH_READ_Counter
    const long long now = SteadyNowNs();
    if (const long long last = m_counters.lastMessageNs; last != 0)
        h.lastMessageAgeMs = (now - last) / kNsPerMs;
    {
        TMutexLock lock(m_durableMutex);
        h.queuedNow = static_cast<long long>(m_queue.size());
        h.replayBehind = static_cast<long long>(m_seenLive.size());
    }
    std::vector<long long> lags;
    {
        TMutexLock lock(m_healthMutex);
        for (const auto& [at, lag] : m_lags)
            if (at >= now - kLagWindowNs) lags.push_back(lag);
    }
    if (!lags.empty()) {
        std::sort(lags.begin(), lags.end());
        h.lagP50Ms = lags[(lags.size() - 1) / 2];
        h.lagP99Ms = lags[(lags.size() - 1) * 99 / 100];
    }
    DescribeHealth();
    Metrics::Scope scope(kHealthScope, 0x20001);
    // The namespace labels the series: two services in one process stay apart.
    scope.Tag("cns", m_namespace);
#define VELCACHE_HEALTH_TAG(member, tag, kind, initial, help) \
    scope.Tag(tag, static_cast<std::int64_t>(h.member));
    VELCACHE_COHERENCE_HEALTH(VELCACHE_HEALTH_TAG)
#undef VELCACHE_HEALTH_TAG
    return h;
}

}  // namespace velmora::caching
