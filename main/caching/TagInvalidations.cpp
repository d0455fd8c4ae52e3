// Tag invalidations: the table of what was invalidated, the channel and stream they travel on,
// the retry queue, and the load scopes that collect a value's tags (see caching/CacheTags.h).
#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <map>
#include <optional>
#include <thread>
#include <unordered_map>

#include "caching/CacheTags.h"
#include "caching/TagScope.h"
#include "metrics2/Metrics.h"
#include "velcoreplatform/TLog.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/Exceptions.h"
#include "velsys/Hash.h"
#include "velsys/Locks.h"

namespace velmora::caching {

namespace readthrough {

constinit thread_local TagScope* t_tagScope __attribute__((tls_model("initial-exec"))) = nullptr;

TagScope::TagScope() : m_outer(t_tagScope) {
    t_tagScope = this;
}

TagScope::~TagScope() {
    t_tagScope = m_outer;
    if (m_outer) m_outer->Add(m_tags);
}

std::vector<std::string> TagScope::Tags() {
    std::sort(m_tags.begin(), m_tags.end());
    m_tags.erase(std::unique(m_tags.begin(), m_tags.end()), m_tags.end());
    return m_tags;
}

std::vector<std::string> CheckedTags(std::vector<std::string> tags, const std::string& who) {
    for (const std::string& tag : tags) {
        if (tag.empty()) throw VelmoraException(who + ": a tag must not be empty");
        if (tag.size() > kMaxTagBytes)
            throw VelmoraException(who + ": the tag \"" + tag.substr(0, 32) + "...\" has " +
                                   std::to_string(tag.size()) + " bytes, more than " +
                                   std::to_string(kMaxTagBytes));
    }
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    return tags;
}

}  // namespace readthrough

bool TagLoad(std::string_view tag) {
    readthrough::TagScope* scope = readthrough::TagScope::Current();
    std::vector<std::string> checked = readthrough::CheckedTags({std::string(tag)}, "TagLoad");
    if (!scope) return false;
    scope->Add(std::move(checked.front()));
    return true;
}

namespace {

// Appends each invalidation to the stream and publishes it in one step, so that subscribers hear
// invalidations in the order of their stamps. KEYS[1]: the stream; ARGV: the stream's length,
// the scope, the channel, then the tags. Returns the entries' ids, in order.
constexpr char kInvalidateScript[] =
    "local ids = {} "
    "for i = 4, #ARGV do "
    "local id = redis.call('XADD', KEYS[1], 'MAXLEN', '~', ARGV[1], '*', 's', ARGV[2], 't', "
    "ARGV[i]) "
    "redis.call('PUBLISH', ARGV[3], id .. ' ' .. string.len(ARGV[2]) .. ' ' .. ARGV[2] .. "
    "ARGV[i]) "
    "ids[#ids + 1] = id "
    "end "
    "return ids";
// The most tags one script call carries (a longer list goes in several).
constexpr std::size_t kBatch = 1000;
// A page of the stream read at a time.
constexpr int kPage = 1000;
// The stamp an invalidation is applied under here while it waits to be sent: newer than every
// value loaded, so that none is served meanwhile.
constexpr TagStamp kPending{~std::uint64_t{0}, 0};
constexpr char kCountersScope[] = "TagInvalidations::Counters";

std::uint64_t TagKey(const std::string& scope, const std::string& tag) {
    std::string text;
    text.reserve(scope.size() + 1 + tag.size());
    text.append(scope).push_back('\0');
    text.append(tag);
    return THash128(text.data(), text.size(), 0).first;
}

std::optional<TagStamp> ParseStamp(std::string_view text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    TagStamp stamp;
    const char* end = text.data() + dash;
    if (std::from_chars(text.data(), end, stamp.ms).ptr != end) return std::nullopt;
    end = text.data() + text.size();
    if (std::from_chars(text.data() + dash + 1, end, stamp.seq).ptr != end) return std::nullopt;
    return stamp;
}

std::string FormatStamp(TagStamp stamp) {
    return std::to_string(stamp.ms) + "-" + std::to_string(stamp.seq);
}

std::uint64_t WallMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

bool Failed(const std::optional<RedisReplyValue>& reply) {
    return !reply || reply->type == RedisReplyValue::Type::Error;
}

// A stream entry's fields "s" and "t"; nothing for an entry this library did not write.
std::optional<std::pair<std::string, std::string>> ReadEntry(const RedisReplyValue& fields) {
    std::optional<std::string> scope, tag;
    for (std::size_t i = 0; i + 1 < fields.elements.size(); i += 2) {
        if (fields.elements[i].text == "s") scope = fields.elements[i + 1].text;
        if (fields.elements[i].text == "t") tag = fields.elements[i + 1].text;
    }
    if (!scope || !tag || tag->empty()) return std::nullopt;
    return std::make_pair(*scope, *tag);
}

}  // namespace

class TagInvalidations::Impl {
public:
    Impl(TagInvalidationsOptions options, RedisSubscriptionManager* manager)
        : m_options(std::move(options)), m_manager(manager) {
        if (!m_manager) {
            // Nothing tells this process what was invalidated before it started: a tagged value
            // an earlier run stored below is refused.
            // After every stamp an earlier run made, even within this millisecond (and after
            // an earlier instance's in this process).
            static std::atomic<std::uint64_t> s_lastStart{0};
            std::uint64_t start = WallMs() + 1, last = s_lastStart.load();
            while (!s_lastStart.compare_exchange_weak(last, std::max(start, last + 1))) {
            }
            start = std::max(start, last + 1);
            m_local = {start, 0};
            m_watermark = m_local;
            m_forgotten = m_local;
            m_unsure = false;
        }
    }

    void Start() {
        if (!m_manager) return;
        const TString pattern = Escaped(m_options.channel);
        m_manager->SetCatchUp(pattern, [this](bool) { return CatchUp(); });
        m_manager->Subscribe(
            pattern,
            [this](const TString&, const void* data, int length) {
                OnMessage(std::string_view(static_cast<const char*>(data),
                                           static_cast<std::size_t>(std::max(length, 0))));
            },
            std::chrono::milliseconds(m_options.subscribeWaitMs));
        m_subscribed = true;
        m_retry = std::thread([this] { RetryLoop(); });
    }

    void Stop(std::chrono::milliseconds deadline) {
        {
            TMutexLock lock(m_mutex);
            if (m_stopping) return;
            m_stopping = true;
            m_stopBy = std::chrono::steady_clock::now() + deadline;
        }
        m_wake.notify_all();
        if (m_retry.joinable()) m_retry.join();
        if (m_subscribed) {
            const TString pattern = Escaped(m_options.channel);
            m_manager->Unsubscribe(pattern);
            m_manager->SetCatchUp(pattern, {});
        }
        TMutexLock lock(m_mutex);
        if (!m_queue.empty()) {
            m_counts.dropped += static_cast<long long>(m_queue.size());
            TLog::LogMessage(TLog::Warn, TString::fromStdString(
                                             "TagInvalidations: " + std::to_string(m_queue.size()) +
                                             " tag invalidations could not reach the server "
                                             "before the stop; other processes will not hear "
                                             "of them"));
            m_queue.clear();
        }
    }

    void Invalidate(const std::vector<std::string>& tags, const std::string& scope) {
        for (const std::string& tag : tags)
            readthrough::CheckedTags({tag}, "TagInvalidations::Invalidate");
        if (!m_manager) {
            ApplyLocally(tags, scope);
            return;
        }
        for (std::size_t from = 0; from < tags.size(); from += kBatch) {
            const std::vector<std::string> batch = Slice(tags, from);
            bool queueFirst;
            {
                TMutexLock lock(m_mutex);
                // In order behind what waits already; not tried while the subscription hears
                // nothing (the server is likely gone or frozen: the caller does not wait for it).
                queueFirst = !m_queue.empty() || m_manager->HeardLiveAtNs() == 0;
            }
            const std::vector<TagStamp> stamps =
                queueFirst ? std::vector<TagStamp>() : Send(scope, batch);
            for (std::size_t i = 0; i < batch.size(); ++i) {
                if (i < stamps.size()) {
                    ++m_counts.sent;
                    Apply(scope, batch[i], stamps[i], false);
                } else {
                    Queue(scope, batch[i]);
                }
            }
        }
    }

    bool TryInvalidate(const std::vector<std::string>& tags, const std::string& scope) {
        for (const std::string& tag : tags)
            readthrough::CheckedTags({tag}, "TagInvalidations::TryInvalidate");
        if (!m_manager) {
            ApplyLocally(tags, scope);
            return true;
        }
        for (std::size_t from = 0; from < tags.size(); from += kBatch) {
            const std::vector<std::string> batch = Slice(tags, from);
            const std::vector<TagStamp> stamps = Send(scope, batch);
            if (stamps.size() != batch.size()) return false;
            for (std::size_t i = 0; i < batch.size(); ++i) {
                ++m_counts.sent;
                Apply(scope, batch[i], stamps[i], false);
            }
        }
        return true;
    }

    // In this process only: stamps from its clock.
    void ApplyLocally(const std::vector<std::string>& tags, const std::string& scope) {
        for (const std::string& tag : tags) {
            TagStamp stamp;
            {
                TMutexLock lock(m_mutex);
                stamp = NextLocalStamp();
            }
            ++m_counts.sent;
            Apply(scope, tag, stamp, false);
        }
    }

    static std::vector<std::string> Slice(const std::vector<std::string>& tags, std::size_t from) {
        return std::vector<std::string>(
            tags.begin() + static_cast<std::ptrdiff_t>(from),
            tags.begin() + static_cast<std::ptrdiff_t>(std::min(tags.size(), from + kBatch)));
    }

    TagStamp Watermark() const {
        TMutexLock lock(m_mutex);
        return m_watermark;
    }

    bool MayServe(const std::string& scope, const CacheTagSet& tags) const {
        if (tags.names.empty()) return true;
        TMutexLock lock(m_mutex);
        if (m_unsure || tags.loadedUnder < m_forgotten) return false;
        for (const std::string& name : tags.names)
            for (const std::uint64_t key : {TagKey(std::string(), name), TagKey(scope, name)}) {
                if (m_pending.count(key)) return false;
                const auto it = m_last.find(key);
                if (it != m_last.end() && tags.loadedUnder < it->second) return false;
            }
        return true;
    }

    std::uint64_t AddListener(Listener listener) {
        TMutexLock lock(m_mutex);
        m_listeners.emplace(++m_nextListener, std::move(listener));
        return m_nextListener;
    }

    void RemoveListener(std::uint64_t id) {
        TMutexLock lock(m_mutex);
        m_listeners.erase(id);
        m_idle.wait(lock.Native(), [this]() VEL_REQUIRES(m_mutex) { return m_telling == 0; });
    }

    TagInvalidationCounters Counters() const {
        TagInvalidationCounters c;
#define VELCACHE_TAG_COPY(member, tag, help) c.member = m_counts.member;
        VELCACHE_TAG_COUNTS(VELCACHE_TAG_COPY)
#undef VELCACHE_TAG_COPY
        TMutexLock lock(m_mutex);
        c.remembered = static_cast<long long>(m_last.size());
        c.unsure = m_unsure;
        return c;
    }

private:
    struct Queued {
        std::string scope, tag;
    };

    static TString Escaped(const std::string& text) {
        std::string out;
        for (const char c : text) {
            if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out.push_back('\\');
            out.push_back(c);
        }
        return TString::fromStdString(out);
    }

    // A stamp from this process's clock, after every one before. REQUIRES: m_mutex held, or
    // construction.
    TagStamp NextLocalStamp() VEL_NO_THREAD_SAFETY_ANALYSIS {
        const std::uint64_t now = WallMs();
        m_local = now > m_local.ms ? TagStamp{now, 0} : TagStamp{m_local.ms, m_local.seq + 1};
        return m_local;
    }

    // The server's stamps of the invalidations, once they were appended and published; none
    // when the server did not take them.
    std::vector<TagStamp> Send(const std::string& scope, const std::vector<std::string>& tags) {
        std::vector<std::string> args{"EVAL",
                                      kInvalidateScript,
                                      "1",
                                      m_options.streamKey,
                                      std::to_string(m_options.maxRemembered),
                                      scope,
                                      m_options.channel};
        args.insert(args.end(), tags.begin(), tags.end());
        const std::optional<RedisReplyValue> reply =
            m_manager->TryCommandOnNodeOf(m_options.streamKey, args);
        std::vector<TagStamp> stamps;
        if (Failed(reply) || reply->elements.size() != tags.size()) return stamps;
        for (const RedisReplyValue& id : reply->elements)
            if (const std::optional<TagStamp> stamp = ParseStamp(id.text)) stamps.push_back(*stamp);
        if (stamps.size() != tags.size()) stamps.clear();
        return stamps;
    }

    // Holds an invalidation the server did not take for the retry thread, applied here at once.
    void Queue(const std::string& scope, const std::string& tag) {
        {
            TMutexLock lock(m_mutex);
            m_queue.push_back({scope, tag});
            ++m_pending[TagKey(scope, tag)];
        }
        ++m_counts.queued;
        m_wake.notify_all();
        Tell(scope, tag, kPending);
    }

    // Records an invalidation and tells the listeners.
    void Apply(const std::string& scope, const std::string& tag, TagStamp stamp, bool replayed) {
        {
            TMutexLock lock(m_mutex);
            Record(TagKey(scope, tag), stamp);
        }
        if (replayed) ++m_counts.replayed;
        Tell(scope, tag, stamp);
    }

    void Record(std::uint64_t key, TagStamp stamp) VEL_REQUIRES(m_mutex) {
        TagStamp& last = m_last[key];
        if (last < stamp) last = stamp;
        m_order.emplace_back(key, stamp);
        if (m_watermark < stamp) m_watermark = stamp;
        const std::uint64_t horizonMs = static_cast<std::uint64_t>(m_options.horizonSec) * 1000;
        while (!m_order.empty() && (m_order.size() > m_options.maxRemembered ||
                                    m_order.front().second.ms + horizonMs < m_watermark.ms)) {
            const auto [oldKey, oldStamp] = m_order.front();
            m_order.pop_front();
            const auto it = m_last.find(oldKey);
            if (it != m_last.end() && it->second == oldStamp) m_last.erase(it);
            if (m_forgotten < oldStamp) m_forgotten = oldStamp;
            ++m_counts.forgotten;
        }
    }

    void Tell(const std::string& scope, const std::string& tag, TagStamp stamp) {
        std::vector<Listener> listeners;
        {
            TMutexLock lock(m_mutex);
            for (const auto& [id, listener] : m_listeners) listeners.push_back(listener);
            ++m_telling;
        }
        for (const Listener& listener : listeners) {
            try {
                listener(scope, tag, stamp);
            } catch (const std::exception& e) {
                TLog::LogMessage(TLog::Warn, TString::fromStdString(
                                                 std::string("TagInvalidations: ") + e.what()));
            }
        }
        TMutexLock lock(m_mutex);
        --m_telling;
        m_idle.notify_all();
    }

    // "<stamp> <scope length> <scope><tag>", as the script publishes it.
    void OnMessage(std::string_view text) {
        const std::size_t space = text.find(' ');
        const std::size_t second = text.find(' ', space + 1);
        if (space == std::string_view::npos || second == std::string_view::npos) return;
        const std::optional<TagStamp> stamp = ParseStamp(text.substr(0, space));
        std::size_t scopeSize = 0;
        const char* end = text.data() + second;
        if (!stamp || std::from_chars(text.data() + space + 1, end, scopeSize).ptr != end ||
            scopeSize > text.size() - second - 1)
            return;
        const std::string scope(text.substr(second + 1, scopeSize));
        const std::string tag(text.substr(second + 1 + scopeSize));
        if (tag.empty()) return;
        {
            TMutexLock lock(m_mutex);
            if (m_lastHeard < *stamp) m_lastHeard = *stamp;
        }
        ++m_counts.heard;
        Apply(scope, tag, *stamp, false);
    }

    // On every confirmation of the subscription, before the messages after it: the first reads
    // what the stream remembers within the horizon; the others read what was missed.
    std::string CatchUp() {
        bool seeded;
        TagStamp from;
        {
            TMutexLock lock(m_mutex);
            seeded = m_seeded;
            from = m_lastHeard;
        }
        const bool read = seeded ? Replay(from) : Seed();
        if (read) return std::string();
        Gap();
        return "the tag stream could not be read";
    }

    // Reads the stream within the horizon; false when it could not.
    bool Seed() {
        const std::optional<RedisReplyValue> newest = m_manager->TryCommandOnNodeOf(
            m_options.streamKey, {"XREVRANGE", m_options.streamKey, "+", "-", "COUNT", "1"});
        if (Failed(newest) || newest->type != RedisReplyValue::Type::Array) return false;
        TagStamp forgotten{};
        std::string start = "-";
        if (!newest->elements.empty() && !newest->elements[0].elements.empty()) {
            const std::optional<TagStamp> last = ParseStamp(newest->elements[0].elements[0].text);
            if (!last) return false;
            const std::uint64_t horizonMs = static_cast<std::uint64_t>(m_options.horizonSec) * 1000;
            forgotten = {last->ms > horizonMs ? last->ms - horizonMs : 0, 0};
            start = FormatStamp(forgotten);
            const std::optional<RedisReplyValue> length =
                m_manager->TryCommandOnNodeOf(m_options.streamKey, {"XLEN", m_options.streamKey});
            if (Failed(length)) return false;
            // A full stream may have let go of entries within the horizon.
            if (static_cast<std::size_t>(std::max(0LL, length->integer)) >=
                m_options.maxRemembered) {
                const std::optional<RedisReplyValue> first = m_manager->TryCommandOnNodeOf(
                    m_options.streamKey, {"XRANGE", m_options.streamKey, "-", "+", "COUNT", "1"});
                if (Failed(first) || first->type != RedisReplyValue::Type::Array) return false;
                if (!first->elements.empty() && !first->elements[0].elements.empty())
                    if (const auto id = ParseStamp(first->elements[0].elements[0].text))
                        forgotten = std::max(forgotten, *id);
            }
        }
        {
            TMutexLock lock(m_mutex);
            if (m_forgotten < forgotten) m_forgotten = forgotten;
        }
        if (!ReadFrom(start, true, nullptr)) return false;
        TMutexLock lock(m_mutex);
        m_seeded = true;
        m_unsure = false;
        return true;
    }

    // Reads what came after `from` (the newest heard); a stream that no longer holds it lost
    // entries: a gap. False when the stream could not be read.
    bool Replay(TagStamp from) {
        bool lost = false;
        if (!ReadFrom(FormatStamp(from), false, from == TagStamp{} ? nullptr : &lost)) return false;
        if (lost) Gap();
        TMutexLock lock(m_mutex);
        m_unsure = false;
        return true;
    }

    // Applies every entry from `start` on (inclusive; the entry at `start` itself is skipped
    // unless `inclusive`). `lost`, when given, is set when the entry at `start` is not there.
    bool ReadFrom(std::string start, bool inclusive, bool* lost) {
        bool first = true;
        for (;;) {
            const std::optional<RedisReplyValue> page = m_manager->TryCommandOnNodeOf(
                m_options.streamKey,
                {"XRANGE", m_options.streamKey, start, "+", "COUNT", std::to_string(kPage + 1)});
            if (Failed(page) || page->type != RedisReplyValue::Type::Array) return false;
            std::size_t fresh = 0;
            for (const RedisReplyValue& entry : page->elements) {
                if (entry.elements.size() != 2) continue;
                const std::string& id = entry.elements[0].text;
                if (first && lost) *lost = id != start;
                first = false;
                if (id == start && !inclusive) continue;
                inclusive = false;
                ++fresh;
                start = id;
                const std::optional<TagStamp> stamp = ParseStamp(id);
                const auto fields = ReadEntry(entry.elements[1]);
                if (!stamp || !fields) continue;
                {
                    TMutexLock lock(m_mutex);
                    if (m_lastHeard < *stamp) m_lastHeard = *stamp;
                }
                ++m_counts.heard;
                Apply(fields->first, fields->second, *stamp, true);
            }
            if (first && lost) *lost = true;  // not even the entry heard last is there
            first = false;
            if (fresh < static_cast<std::size_t>(kPage)) return true;
        }
    }

    // Invalidations may have been missed: no tagged value loaded so far is served, and memory
    // lets go of every tagged entry.
    void Gap() {
        TagStamp watermark;
        bool wasSure;
        {
            TMutexLock lock(m_mutex);
            m_forgotten = std::max(m_forgotten, m_watermark);
            wasSure = !m_unsure;
            m_unsure = true;
            watermark = m_watermark;
        }
        ++m_counts.gaps;
        if (wasSure)
            TLog::LogMessage(TLog::Warn,
                             TString::fromStdString(
                                 "TagInvalidations: tag invalidations on \"" + m_options.channel +
                                 "\" may have been missed; every tagged value held "
                                 "goes and none loaded before is served"));
        Tell(std::string(), std::string(), watermark);
    }

    void RetryLoop() {
        auto pause = std::chrono::milliseconds(50);
        const auto failed = [&pause] {
            pause = std::min(pause * 2, std::chrono::milliseconds(1000));
        };
        for (;;) {
            Queued next;
            bool unsure;
            {
                TMutexLock lock(m_mutex);
                m_wake.wait_for(lock.Native(), pause, [this]() VEL_REQUIRES(m_mutex) {
                    return !m_queue.empty() || m_stopping;
                });
                if (m_stopping && (m_queue.empty() || std::chrono::steady_clock::now() >= m_stopBy))
                    return;
                unsure = m_unsure;
                if (!m_queue.empty()) next = m_queue.front();
            }
            // A catch-up that failed while the subscription stayed up is tried again here.
            if (unsure && m_manager->HeardLiveAtNs() != 0 && !CatchUp().empty()) {
                failed();
                continue;
            }
            if (next.tag.empty()) continue;
            const std::vector<TagStamp> stamp = Send(next.scope, {next.tag});
            if (stamp.empty()) {
                failed();
                continue;
            }
            pause = std::chrono::milliseconds(50);
            {
                TMutexLock lock(m_mutex);
                m_queue.pop_front();
                const std::uint64_t key = TagKey(next.scope, next.tag);
                if (--m_pending[key] <= 0) m_pending.erase(key);
                Record(key, stamp.front());
            }
            ++m_counts.sent;
        }
    }

    const TagInvalidationsOptions m_options;
    RedisSubscriptionManager* const m_manager;  // null: in this process only
    bool m_subscribed = false;

    mutable TMutex m_mutex;
    std::condition_variable m_idle, m_wake;
    // The table: the newest stamp of each (scope, tag) key, in the order heard for ageing.
    std::unordered_map<std::uint64_t, TagStamp> m_last VEL_GUARDED_BY(m_mutex);
    std::deque<std::pair<std::uint64_t, TagStamp>> m_order VEL_GUARDED_BY(m_mutex);
    // Keys invalidated here whose invalidation waits in the queue.
    std::unordered_map<std::uint64_t, int> m_pending VEL_GUARDED_BY(m_mutex);
    TagStamp m_watermark VEL_GUARDED_BY(m_mutex);  // the newest stamp known
    TagStamp m_forgotten VEL_GUARDED_BY(m_mutex);  // tagged values loaded before are refused
    TagStamp m_lastHeard VEL_GUARDED_BY(m_mutex);  // the newest entry read from the server
    TagStamp m_local VEL_GUARDED_BY(m_mutex);      // the last stamp of this process's clock
    bool m_seeded VEL_GUARDED_BY(m_mutex) = false;
    bool m_unsure VEL_GUARDED_BY(m_mutex) = true;  // until the stream was read
    std::map<std::uint64_t, Listener> m_listeners VEL_GUARDED_BY(m_mutex);
    std::uint64_t m_nextListener VEL_GUARDED_BY(m_mutex) = 0;
    int m_telling VEL_GUARDED_BY(m_mutex) = 0;
    std::deque<Queued> m_queue VEL_GUARDED_BY(m_mutex);
    bool m_stopping VEL_GUARDED_BY(m_mutex) = false;
    std::chrono::steady_clock::time_point m_stopBy VEL_GUARDED_BY(m_mutex);
    std::thread m_retry;

    struct Atomics {
#define VELCACHE_TAG_ATOMIC(member, tag, help) std::atomic<long long> member{0};
        VELCACHE_TAG_COUNTS(VELCACHE_TAG_ATOMIC)
#undef VELCACHE_TAG_ATOMIC
    } mutable m_counts;
};

TagInvalidations::TagInvalidations(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

TagInvalidations::~TagInvalidations() {
    m_impl->Stop(std::chrono::milliseconds(2000));
}

std::shared_ptr<TagInvalidations> TagInvalidations::InProcess(TagInvalidationsOptions options) {
    return std::shared_ptr<TagInvalidations>(
        new TagInvalidations(std::make_unique<Impl>(std::move(options), nullptr)));
}

std::shared_ptr<TagInvalidations> TagInvalidations::OverRedis(RedisSubscriptionManager& manager,
                                                              TagInvalidationsOptions options) {
    std::shared_ptr<TagInvalidations> tags(
        new TagInvalidations(std::make_unique<Impl>(std::move(options), &manager)));
    tags->m_impl->Start();
    return tags;
}

void TagInvalidations::Invalidate(const std::string& tag, const std::string& scope) {
    m_impl->Invalidate({tag}, scope);
}

void TagInvalidations::Invalidate(const std::vector<std::string>& tags, const std::string& scope) {
    m_impl->Invalidate(tags, scope);
}

bool TagInvalidations::TryInvalidate(const std::vector<std::string>& tags,
                                     const std::string& scope) {
    return m_impl->TryInvalidate(tags, scope);
}

TagStamp TagInvalidations::Watermark() const {
    return m_impl->Watermark();
}

bool TagInvalidations::MayServe(const std::string& scope, const CacheTagSet& tags) const {
    return m_impl->MayServe(scope, tags);
}

std::uint64_t TagInvalidations::AddListener(Listener listener) {
    return m_impl->AddListener(std::move(listener));
}

void TagInvalidations::RemoveListener(std::uint64_t id) {
    m_impl->RemoveListener(id);
}

TagInvalidationCounters TagInvalidations::GetCounters() const {
    const TagInvalidationCounters c = m_impl->Counters();
    static const bool described = [] {
#define VELCACHE_TAG_DESCRIBE(member, tag, help) \
    Metrics::DescribeFigure(kCountersScope, tag, Metrics::FigureKind::Counter, help);
        VELCACHE_TAG_COUNTS(VELCACHE_TAG_DESCRIBE)
#undef VELCACHE_TAG_DESCRIBE
        Metrics::DescribeFigure(kCountersScope, "remembered", Metrics::FigureKind::Gauge,
                                "Tags remembered now.");
        return true;
    }();
    (void)described;
    Metrics::Scope scope(kCountersScope, 0);
#define VELCACHE_TAG_TAG(member, tag, help) \
    scope.Tag(TString(tag), static_cast<std::int64_t>(c.member));
    VELCACHE_TAG_COUNTS(VELCACHE_TAG_TAG)
#undef VELCACHE_TAG_TAG
    scope.Tag(TString("remembered"), static_cast<std::int64_t>(c.remembered));
    return c;
}

void TagInvalidations::Stop(std::chrono::milliseconds deadline) {
    m_impl->Stop(deadline);
}

}  // namespace velmora::caching
