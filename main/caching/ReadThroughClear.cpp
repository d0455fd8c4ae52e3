// Clear of a whole read-through cache across processes: a generation number carried in the
// external keys, counted in the shared layer and told to other processes on a channel of its
// own (outside every coherence namespace, so that no coherence service reads it as an
// announcement).
//
// One subscription per (manager, channel) serves every instance of that name in the process
// (a manager keeps one callback per pattern). Locks: s_subscribing serializes subscribing and
// unsubscribing and is held across those calls; Listeners::mutex is a leaf, the only lock the
// channel's callbacks take, and is released before an engine is called. An engine leaves the
// table only once no callback is calling one (Listeners::running), so it is never called, nor
// destroyed, on the delivery thread after its cache is gone.
#include <charconv>
#include <condition_variable>
#include <map>

#include "caching/CoherenceMessages.h"
#include "caching/ReadThroughImpl.h"
#include "caching/RedisExternalCache.h"
#include "velcoreplatform/TLog.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/Exceptions.h"

namespace velmora::caching {

using namespace readthrough;

namespace {

// What a store of the generation tells the guarded store it cost, so that it is never judged
// too cheap to keep.
constexpr unsigned int kGenerationLoadMs = 1u << 30;

using Engine = ReadThroughCore::Impl;
using ChannelOf = std::pair<RedisSubscriptionManager*, std::string>;

struct Listeners {
    TMutex mutex;
    std::condition_variable idle;
    std::map<ChannelOf, std::vector<Engine*>> byChannel VEL_GUARDED_BY(mutex);
    int running VEL_GUARDED_BY(mutex) = 0;  // callbacks calling engines now
};

Listeners& TheListeners() {
    static auto* s_listeners = new Listeners;  // never destroyed: used by callbacks until exit
    return *s_listeners;
}

TMutex& SubscribingMutex() {
    static auto* s_subscribing = new TMutex;
    return *s_subscribing;
}

// Calls `call` for every engine of `channel`, with no lock held.
template <class Call>
void ForEachEngine(const ChannelOf& channel, Call call) {
    Listeners& listeners = TheListeners();
    std::vector<Engine*> engines;
    {
        TMutexLock lock(listeners.mutex);
        const auto it = listeners.byChannel.find(channel);
        if (it != listeners.byChannel.end()) engines = it->second;
        ++listeners.running;
    }
    for (Engine* engine : engines) {
        try {
            call(*engine);
        } catch (const std::exception& e) {
            TLog::LogMessage(TLog::Warn, TString::fromStdString(
                                             std::string("ReadThroughCache clear: ") + e.what()));
        }
    }
    TMutexLock lock(listeners.mutex);
    --listeners.running;
    listeners.idle.notify_all();
}

// A Redis glob pattern that matches exactly `text`.
TString Escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return TString::fromStdString(out);
}

std::optional<long long> ParseGeneration(const std::string& text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

}  // namespace

TString ReadThroughCore::Impl::ExternalKey(const HashPair& keyhash) const {
    return ExternalKey(keyhash, m_generation.load());
}

TString ReadThroughCore::Impl::ExternalKey(const HashPair& keyhash, long long generation) const {
    // "rt.<name>.[<generation>.]<hex>-<hex>", as FormatHashPair writes the pair; generation 0
    // keeps the form of keys written before caches could be cleared. Built in one buffer: a
    // lower layer's hit makes this key, and each piece made apart would be a request to the
    // allocator.
    std::string key;
    key.reserve(m_options.name.size() + 64);
    key.append("rt.").append(m_options.name).push_back('.');
    char digits[24];
    const auto append = [&key, &digits](auto value, int base) {
        key.append(digits, std::to_chars(digits, digits + sizeof digits, value, base).ptr);
    };
    if (generation != 0) {
        append(generation, 10);
        key.push_back('.');
    }
    append(keyhash.first, 16);
    key.push_back('-');
    append(keyhash.second, 16);
    return TString::fromStdString(key);
}

TString ReadThroughCore::Impl::GenerationKey() const {
    return TString::fromStdString("rt." + m_options.name + ".generation");
}

std::string ReadThroughCore::Impl::ClearChannelName() const {
    return m_options.clearChannelPrefix + m_options.name;
}

std::optional<long long> ReadThroughCore::Impl::ReadGeneration() const {
    if (m_options.layers.empty() || !m_options.layers[SharedLayer()]) return 0;
    // Through the layer's future, bounded by externalWaitMs, also for a layer read inline.
    bool timedOut = false;
    const ExternalBytesPtr bytes = m_options.layers[SharedLayer()]->TryLoad(
        GenerationKey(), m_options.externalWaitMs, &timedOut);
    if (timedOut) return std::nullopt;
    if (!bytes) return 0;
    return ParseGeneration(std::string(bytes->begin(), bytes->end()));
}

std::optional<long long> ReadThroughCore::Impl::NextGeneration() const {
    if (m_options.layers.empty() || !m_options.layers[SharedLayer()])
        return m_generation.load() + 1;
    const ExternalCachePtr& layer = m_options.layers[SharedLayer()];
    if (const auto* redis = dynamic_cast<const RedisExternalCache*>(layer.get())) {
        // Atomic across processes; INCR keeps no time-to-live, so the count outlives values.
        const std::string physical =
            RedisExternalCache::MakePhysicalCacheKey(redis->GetNamespace(), GenerationKey());
        try {
            std::unique_ptr<RedisConnectionGuard> guard =
                redis->GetPool()->FindAndLockConnection(physical);
            if (!guard) return std::nullopt;
            const RedisReplyValue reply = guard->GetConnection().Command({"INCR", physical});
            if (reply.type != RedisReplyValue::Type::Integer) return std::nullopt;
            return reply.integer;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    // Another layer (a machine's disk): read, count and store. Two clears at once may count the
    // same number; both processes still leave the old generation.
    const std::optional<long long> current = ReadGeneration();
    if (!current) return std::nullopt;
    const long long next = std::max(*current, m_generation.load()) + 1;
    const std::string text = std::to_string(next);
    auto bytes = std::make_shared<ExternalBytes>(text.begin(), text.end());
    if (!layer->TryStore(GenerationKey(), bytes, kGenerationLoadMs, -1).Get()) return std::nullopt;
    return next;
}

void ReadThroughCore::Impl::ApplyClear(long long generation) {
    // The generation first, then the moment: a load that read the old generation and starts
    // after the moment writes only keys no one reads any more.
    m_generation.store(generation);
    m_clearedAtNs.store(SteadyNowNs());
    ++m_counts.clears;
    if (m_failSafe) m_failSafe->Clear();
    if (m_memory) {
        const CacheHelpers::EntrySet gone =
            m_memory->DeleteEntries(std::make_shared<CacheHelpers::BooleanEntryPredicate>(true));
        m_memory->Dropped(gone);
        ReportRemoved(gone);
    }
}

void ReadThroughCore::Impl::Clear() {
    const std::optional<long long> next = NextGeneration();
    const long long generation = next ? *next : m_generation.load() + 1;
    ApplyClear(generation);
    if (m_options.clearChannel) {
        const std::string message = std::to_string(generation) + " " + m_instanceToken;
        if (!m_options.clearChannel->TryPublishBytes(ClearChannelName(), message.data(),
                                                     message.size()))
            throw VelmoraException("ReadThroughCache \"" + m_options.name +
                                   "\": the clear could not be published; other processes "
                                   "keep what they hold");
    }
    if (!next)
        throw VelmoraException("ReadThroughCache \"" + m_options.name +
                               "\": the shared layer could not count the new generation; this "
                               "process is cleared, other processes may not be");
}

void ReadThroughCore::Impl::OnClearMessage(long long generation, const std::string& from) {
    if (from == m_instanceToken) return;  // applied when it was made
    ApplyClear(generation);
}

void ReadThroughCore::Impl::OnClearResubscribed() {
    // Clears published while the connection was down were not delivered: assume one.
    const std::optional<long long> generation = ReadGeneration();
    if (generation) m_generationKnown = true;
    ApplyClear(generation.value_or(m_generation.load()));
}

namespace {

// The channel's hooks, set by its first engine: each confirmation and each message reaches every
// engine of the channel. The subscription is not waited for here (StartClearChannel waits, for
// a server that answered).
void ListenToClearChannel(RedisSubscriptionManager& manager, const ChannelOf& key,
                          const TString& pattern) {
    manager.SetCatchUp(pattern, [key](bool resubscription) {
        ForEachEngine(key, [resubscription](Engine& engine) {
            if (resubscription || engine.GenerationDeferred()) engine.OnClearResubscribed();
        });
        return std::string();
    });
    const auto onClear = [key](const TString&, const void* data, int length) {
        const std::string text(static_cast<const char*>(data),
                               static_cast<std::size_t>(std::max(length, 0)));
        const std::size_t space = text.find(' ');
        const std::optional<long long> generation = ParseGeneration(text.substr(0, space));
        if (!generation) return;
        const std::string from = space == std::string::npos ? "" : text.substr(space + 1);
        ForEachEngine(key, [&](Engine& engine) { engine.OnClearMessage(*generation, from); });
    };
    manager.Subscribe(pattern, onClear, std::chrono::milliseconds(0));
}

}  // namespace

void ReadThroughCore::Impl::StartClearChannel() {
    RedisSubscriptionManager* manager = m_options.clearChannel;
    if (!manager) return;  // generation 0 until this instance clears
    {
        const std::string channel = ClearChannelName();
        // A coherence namespace that is a prefix of the channel would read clears as
        // malformed announcements.
        for (std::size_t n = 0; n <= channel.size(); ++n)
            if (manager->IsSubscribed(TString::fromStdString(channel.substr(0, n)) + TString("*")))
                throw VelmoraException("ReadThroughCache \"" + m_options.name +
                                       "\": the namespace \"" + channel.substr(0, n) +
                                       "\" subscribed in this process is a prefix of the clear "
                                       "channel \"" +
                                       channel + "\"");
        const ChannelOf key{manager, channel};
        const TString pattern = Escaped(channel);
        TMutexLock subscribing(SubscribingMutex());
        bool first = false;
        {
            Listeners& listeners = TheListeners();
            TMutexLock lock(listeners.mutex);
            auto& engines = listeners.byChannel[key];
            first = engines.empty();
            engines.push_back(this);
        }
        if (first) ListenToClearChannel(*manager, key, pattern);
        m_clearSubscribed = true;
        if (m_reachableAtStart &&
            !manager->WaitUntilSubscribed(
                pattern, std::chrono::milliseconds(m_options.clearSubscribeWaitMs)))
            TLog::LogMessage(TLog::Warn,
                             TString::fromStdString("ReadThroughCache \"" + m_options.name +
                                                    "\": the clear channel is not confirmed "
                                                    "yet; a clear made meanwhile is assumed "
                                                    "once it is"));
    }
    // Read after subscribing: a clear made in between is in what is read. A server that did not
    // answer at start is not waited for: the first confirmation reads it (or has, before this
    // engine joined the channel).
    if (!m_reachableAtStart && !m_options.clearChannel->WaitUntilSubscribed(
                                   Escaped(ClearChannelName()), std::chrono::milliseconds(0)))
        return;
    if (const std::optional<long long> generation = ReadGeneration()) {
        m_generation.store(*generation);
        m_generationKnown = true;
    }
}

void ReadThroughCore::Impl::StopClearChannel() {
    if (!m_clearSubscribed.exchange(false)) return;
    RedisSubscriptionManager* manager = m_options.clearChannel;
    const ChannelOf key{manager, ClearChannelName()};
    TMutexLock subscribing(SubscribingMutex());
    bool last = false;
    {
        Listeners& listeners = TheListeners();
        TMutexLock lock(listeners.mutex);
        auto& engines = listeners.byChannel[key];
        std::erase(engines, this);
        last = engines.empty();
        if (last) listeners.byChannel.erase(key);
        listeners.idle.wait(lock.Native(), [&listeners]() VEL_REQUIRES(listeners.mutex) {
            return listeners.running == 0;
        });
    }
    if (last) {
        const TString pattern = Escaped(key.second);
        manager->Unsubscribe(pattern);
        manager->SetCatchUp(pattern, {});
    }
}

}  // namespace velmora::caching
