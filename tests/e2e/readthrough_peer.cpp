// A host process for the multi-process read-through tests: one ReadThroughCache<std::string>
// over a private redis-server, driven line by line on standard input, answering one line per
// command on standard output. Its "database" is the same server: row <key> is the Redis string
// "db:<key>", which its loader reads.
//
// readthrough_peer <port> <namespace> <cache name> <memory entries> <layers> [keep-raced|defaults]
//   <layers>: "-" for none, else a comma-separated list of "disk:<directory>" and "redis", in
//   lookup order. "keep-raced" turns dropping raced fills off (to show that a test stages the
//   race). The coherence service is the process's own in <namespace>, with a quick heartbeat
//   and every fill published, unless "defaults": then every option and endpoint setting but
//   the port is left as it is by default. Prints "ready" once its subscription (and the
//   read-back of the stream) is confirmed.
//
// Commands, and the line each answers:
//   get <key>                    "got <value> <memory|external|loader> <layer>", "error <what>"
//   get-racing <key> <n>         as get, but the loader, once it has read the row, prints
//                                "loaded <value>", waits for a line "release" on standard input,
//                                then for <n> more announcements to be applied by the service
//                                (printing "announced" or "not-announced"), and only then
//                                returns the value it read
//   set <key> <value>            writes the row, then Set: "set"
//   change <key> <value>         writes the row, then Invalidate: "changed"
//   await-stored <key>           waits until every layer holds bytes for the key: "stored", or
//                                "missing <layer>..."
//   applied                      "applied <announcements applied so far>"
//   await-applied <n>            waits until <n> announcements were applied: "applied <so far>"
//   counters                     "counters memory-hits=.. layer-hits=<a>/<b>.. loads=..
//                                raced=.. rejected=.. coalesced=.. load-failures=.."
//   held                         "held <key>=<value>..." (sorted by key)
//   tget <key> <tags>            as get, the loader tagging the value with each tag of the
//                                comma-separated <tags>
//   tget-racing <key> <tags> <n> as get-racing with tags, waiting after "release" for <n> more
//                                tag invalidations heard
//   invalidate-tag <tag>         the host's InvalidateTag: "invalidated"
//   fill-tagged <n> <tag>        loads keys bulk0..bulk<n-1>, each tagged <tag>: "filled <held>"
//   await-dropped <n>            waits until <n> entries were dropped by tag: "dropped <so far>
//                                <steady-clock ns of when it saw them>"
//   tags                         "tags heard=.. replayed=.. gaps=.. dropped=.. refused=.."
//   quit                         exits
// Every wait is bounded (10 s), so a test reading the output is too.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "caching/Host.h"
#include "caching/ReadThroughCache.h"
#include "caching/RedisPubsub.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/AsyncTask.h"

using namespace velmora::caching;
using Clock = std::chrono::steady_clock;
using Cache = ReadThroughCache<std::string>;

namespace {

constexpr auto kWait = std::chrono::seconds(10);

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::vector<std::string> Split(const std::string& text, char by) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, by);)
        if (!part.empty()) parts.push_back(part);
    return parts;
}

template <class Pred>
bool WaitFor(Pred pred) {
    for (const auto deadline = Clock::now() + kWait; !pred();) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

const char* SourceName(ReadThroughSource source) {
    static const char* const kNames[] = {"memory", "external", "loader", "fail-safe"};
    return kNames[static_cast<int>(source)];
}

Cache::Codec StringCodec() {
    return {[](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
            [](const unsigned char* data, std::size_t size) {
                return std::make_shared<const std::string>(reinterpret_cast<const char*>(data),
                                                           size);
            }};
}

class Peer {
public:
    Peer(int port, const std::string& ns, const std::string& name, int memory,
         const std::string& layers, bool keepRaced, bool defaults) {
        HostOptions host;
        host.redis = "127.0.0.1:" + std::to_string(port);
        host.coherenceNamespace = ns;
        if (!defaults) host.heartbeatInterval = std::chrono::milliseconds(300);
        HostCacheOptions cache;
        cache.memoryEntries = memory;
        cache.disk = cache.redis = false;
        for (const std::string& layer : Split(layers == "-" ? "" : layers, ',')) {
            if (layer == "redis") {
                cache.redis = true;
            } else if (layer.rfind("disk:", 0) == 0) {
                cache.disk = true;
                host.diskDirectory = layer.substr(5);
            } else {
                throw std::runtime_error("unknown layer " + layer);
            }
        }
        Host& started = Host::Start(host);
        m_host = &started;
        m_db = std::make_unique<RedisConnection>(GetRedisConfiguration());
        m_service = started.Service();
        ReadThroughOptions options = started.CacheOptions(name, cache);
        options.dropRacedFills = !keepRaced;
        // The tests move the processes in step by counting announcements applied: every fill
        // is published.
        options.skipKnownFills = defaults;
        m_layers = options.layers;
        m_cache = std::make_unique<Cache>(options, StringCodec(), m_service);
        m_subscribed = RedisSubscriptionManager::GetInstance().WaitUntilSubscribed(
            TString::fromStdString(ns + "*"), kWait);
    }
    ~Peer() {
        m_cache.reset();  // tells the service before it goes
    }

    bool Subscribed() const { return m_subscribed; }

    // One command; false for "quit".
    bool Run(const std::string& line) {
        const std::vector<std::string> words = Split(line, ' ');
        if (words.empty()) return true;
        const std::string& command = words[0];
        const auto arg = [&](std::size_t i) { return i < words.size() ? words[i] : std::string(); };
        try {
            if (command == "quit") return false;
            if (command == "get") {
                Answer(m_cache->Get(arg(1), [&] { return ReadRow(arg(1)); }));
            } else if (command == "get-racing") {
                const long long more = std::stoll(arg(2));
                Answer(m_cache->Get(arg(1), [&] { return RacingLoad(arg(1), more); }));
            } else if (command == "tget") {
                Answer(m_cache->Get(arg(1), [&] {
                    for (const std::string& tag : Split(arg(2), ',')) TagLoad(tag);
                    return ReadRow(arg(1));
                }));
            } else if (command == "tget-racing") {
                const long long more = std::stoll(arg(3));
                Answer(m_cache->Get(arg(1), [&] {
                    for (const std::string& tag : Split(arg(2), ',')) TagLoad(tag);
                    return RacingTaggedLoad(arg(1), more);
                }));
            } else if (command == "invalidate-tag") {
                m_host->InvalidateTag(arg(1));
                Say("invalidated");
            } else if (command == "fill-tagged") {
                const int n = std::stoi(arg(1));
                for (int i = 0; i < n; ++i)
                    m_cache->Get("bulk" + std::to_string(i), [&] {
                        TagLoad(arg(2));
                        return std::string("bulk");
                    });
                Say("filled " + std::to_string(m_cache->HeldValues().size()));
            } else if (command == "await-dropped") {
                const long long n = std::stoll(arg(1));
                WaitFor([&] { return m_cache->GetCounters().droppedByTag >= n; });
                const auto seen = Clock::now().time_since_epoch().count();
                Say("dropped " + std::to_string(m_cache->GetCounters().droppedByTag) + " " +
                    std::to_string(seen));
            } else if (command == "tags") {
                const TagInvalidationCounters t = m_host->Tags()->GetCounters();
                const ReadThroughCounters c = m_cache->GetCounters();
                Say("tags heard=" + std::to_string(t.heard) +
                    " replayed=" + std::to_string(t.replayed) + " gaps=" + std::to_string(t.gaps) +
                    " dropped=" + std::to_string(c.droppedByTag) +
                    " refused=" + std::to_string(c.tagRefused));
            } else if (command == "set") {
                WriteRow(arg(1), arg(2));
                m_cache->Set(arg(1), std::make_shared<const std::string>(arg(2)));
                Say("set");
            } else if (command == "change") {
                WriteRow(arg(1), arg(2));
                m_cache->Invalidate(arg(1));
                Say("changed");
            } else if (command == "await-stored") {
                AwaitStored(arg(1));
            } else if (command == "applied" || command == "await-applied") {
                if (command == "await-applied") {
                    const long long n = std::stoll(arg(1));
                    WaitFor([&] { return m_service->GetHealth().applied >= n; });
                }
                Say("applied " + std::to_string(m_service->GetHealth().applied));
            } else if (command == "counters") {
                SayCounters();
            } else if (command == "held") {
                auto held = m_cache->HeldValues();
                std::sort(held.begin(), held.end());
                std::string text = "held";
                for (const auto& [key, value] : held) text += " " + key + "=" + *value;
                Say(text);
            } else {
                Say("error unknown command " + command);
            }
        } catch (const std::exception& e) {
            Say(std::string("error ") + e.what());
        }
        return true;
    }

private:
    void Answer(const Cache::Result& r) {
        Say("got " + *r.value + " " + SourceName(r.source) + " " + std::to_string(r.layer));
    }

    std::string ReadRow(const std::string& key) {
        const RedisReplyValue row = m_db->Command({"GET", "db:" + key});
        if (row.type != RedisReplyValue::Type::String) throw std::runtime_error("no row " + key);
        return row.text;
    }
    void WriteRow(const std::string& key, const std::string& value) {
        const RedisReplyValue ok = m_db->Command({"SET", "db:" + key, value});
        if (ok.type != RedisReplyValue::Type::Status) throw std::runtime_error("row not written");
    }

    // A load that read the row before a change committed and finishes after the change was
    // announced: the shape of every stale set.
    std::string RacingLoad(const std::string& key, long long more) {
        const long long before = m_service->GetHealth().applied;
        const std::string value = ReadRow(key);
        Say("loaded " + value);
        std::string line;
        if (!std::getline(std::cin, line) || line != "release")
            throw std::runtime_error("no release");
        Say(WaitFor([&] { return m_service->GetHealth().applied >= before + more; })
                ? "announced"
                : "not-announced");
        return value;
    }

    std::string RacingTaggedLoad(const std::string& key, long long more) {
        const long long before = m_host->Tags()->GetCounters().heard;
        const std::string value = ReadRow(key);
        Say("loaded " + value);
        std::string line;
        if (!std::getline(std::cin, line) || line != "release")
            throw std::runtime_error("no release");
        Say(WaitFor([&] { return m_host->Tags()->GetCounters().heard >= before + more; })
                ? "heard"
                : "not-heard");
        return value;
    }

    void AwaitStored(const std::string& key) {
        const TString externalKey = m_cache->Core().ExternalKey(key);
        std::string missing;
        for (std::size_t i = 0; i < m_layers.size(); ++i) {
            const bool stored = WaitFor(
                [&] { return m_layers[i]->TryLoad(externalKey, 1000, nullptr) != nullptr; });
            if (!stored) missing += " " + std::to_string(i);
        }
        Say(missing.empty() ? "stored" : "missing" + missing);
    }

    void SayCounters() {
        const ReadThroughCounters c = m_cache->GetCounters();
        std::string layers;
        for (long long hits : c.layerHits)
            layers += (layers.empty() ? "" : "/") + std::to_string(hits);
        Say("counters memory-hits=" + std::to_string(c.memoryHits) +
            " layer-hits=" + (layers.empty() ? "-" : layers) + " loads=" + std::to_string(c.loads) +
            " raced=" + std::to_string(c.racedFillsDropped) + " rejected=" +
            std::to_string(c.lowerRejected) + " coalesced=" + std::to_string(c.coalescedWaits) +
            " load-failures=" + std::to_string(c.loadFailures));
    }

    Host* m_host = nullptr;
    std::unique_ptr<RedisConnection> m_db;
    std::shared_ptr<RedisPubsub> m_service;
    std::vector<ExternalCachePtr> m_layers;
    std::unique_ptr<Cache> m_cache;
    bool m_subscribed = false;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string flag = argc == 7 ? argv[6] : "";
    if (argc != 6 && !(argc == 7 && (flag == "keep-raced" || flag == "defaults"))) return 2;
    Peer peer(std::atoi(argv[1]), argv[2], argv[3], std::atoi(argv[4]), argv[5],
              flag == "keep-raced", flag == "defaults");
    if (!peer.Subscribed()) {
        Say("error not-subscribed");
        return 3;
    }
    Say("ready");
    for (std::string line; std::getline(std::cin, line);)
        if (!peer.Run(line)) break;
    // Stores still under way use the library's statics: let them end before the process does.
    WaitFor([] {
        const AsyncTask::PoolStatistics pool = AsyncTask::GetPoolStatistics();
        return pool.queued == 0 && pool.idle == pool.threads;
    });
    return 0;
}
