#include "host/DemoHost.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "caching/Host.h"
#include "velcoreplatform/TLog.h"
#include "velredis/RedisSlotMap.h"

using namespace velmora::caching;

namespace demo {

// Counts the external caches' lines by operation, layer and outcome, and every line at Warn or
// above ("log.warnings"), whatever it is about.
class CountingLogSink : public ILogSink {
public:
    bool Accepts(int severity, int) const override { return severity >= TLog::Info; }
    void Write(const LogRecord& record) override {
        const std::string message = record.message.toStdString();
        std::string name;
        if (message.rfind("ec-", 0) == 0) {
            const auto cns = record.attributes.find(TString("cns"));
            const auto outcome = record.attributes.find(TString("outcome"));
            const bool disk = cns != record.attributes.end() && cns->second.endsWith(".disk");
            name = "ec." + message.substr(3) + "." + (disk ? "disk" : "redis") + "." +
                   (outcome == record.attributes.end() ? "?" : outcome->second.toStdString());
        }
        const bool warning = record.severity >= TLog::Warn;
        if (name.empty() && !warning) return;
        TMutexLock lock(m_mutex);
        if (!name.empty()) m_stats.Count(name);
        if (warning) m_stats.Count("log.warnings");
    }
    // Sets (not adds) the counts seen so far.
    void CopyTo(Stats& stats) const {
        TMutexLock lock(m_mutex);
        for (const auto& [name, value] : m_stats.counters) stats.counters[name] = value;
    }

private:
    mutable TMutex m_mutex;
    Stats m_stats GUARDED_BY(m_mutex);
};

DemoHost::DemoHost(const ChildConfig& config) : m_config(config) {
    m_sink = std::make_shared<CountingLogSink>();
    HostOptions options;
    if (config.redisCluster.empty()) {
        options.redis = config.redisHost + ":" + std::to_string(config.redisPort);
    } else {
        for (const RedisNodeAddress& node : RedisNodeAddress::ParseList(config.redisCluster))
            options.redisCluster.push_back(node.ToString());
    }
    if (!config.redisTlsDir.empty()) {
        options.redisTls = true;
        options.tlsCaFile = config.redisTlsDir + "/ca.crt";
        options.tlsCertFile = config.redisTlsDir + "/client.crt";
        options.tlsKeyFile = config.redisTlsDir + "/client.key";
    }
    // Quick to notice a lost server and to come back: the run faults it on purpose.
    options.commandTimeout = std::chrono::milliseconds(500);
    options.heartbeatInterval = std::chrono::milliseconds(200);
    options.reconnectBackoffMax = std::chrono::milliseconds(250);
    options.coherenceNamespace = kCoherenceNamespace;
    // Within the 1 s freshness window: a process that has not heard from the server for 600 ms
    // serves nothing it held from before.
    options.maxDeafMs = 600;
    options.diskDirectory = config.externalDir;
    // Redis values of a run outlive it by a few minutes at most.
    options.redisValuesExpireSec = 600;
    options.stderrLevel = HostLogLevel::Error;
    options.logSink = m_sink;
    Host& host = Host::Start(options);
    m_service = host.Service();
    m_disk = host.DiskLayer();
    m_redis = host.RedisLayer();
    m_reader = std::thread([this] { ReadCommands(); });
}

DemoHost::~DemoHost() {
    // The reader ends when the parent closes our input; the process exits without waiting.
    if (m_reader.joinable()) m_reader.detach();
    TLog::SetSink(nullptr);
}

void DemoHost::AddHostCounts(Stats& stats) const {
    m_sink->CopyTo(stats);
    const CoherenceHealth health = m_service->GetHealth();
    // Gauges, "gauge.health.*", are levels: read per process, not added up across processes.
#define DEMO_HEALTH_STAT(member, tag, kind, initial, help)                             \
    stats.counters[std::string(#kind[0] == 'G' ? "gauge.health." : "health.") + tag] = \
        health.member;
    VELCACHE_COHERENCE_HEALTH(DEMO_HEALTH_STAT)
#undef DEMO_HEALTH_STAT
}

void DemoHost::Report(const std::string& kind, const Stats& stats) const {
    const std::string line = kind + stats.Encode() + "\n";
    TMutexLock lock(m_mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

bool DemoHost::Received(const std::string& command) const {
    TMutexLock lock(m_mutex);
    return m_endOfInput || m_commands.count(command) != 0;
}

void DemoHost::WaitFor(const std::string& command) const {
    TMutexLock lock(m_mutex);
    m_changed.wait(lock.Native(), [&]() REQUIRES(m_mutex) {
        return m_endOfInput || m_commands.count(command) != 0;
    });
}

void DemoHost::SetCommandListener(std::function<void(const std::string&)> listener) {
    TMutexLock lock(m_mutex);
    m_listener = std::move(listener);
}

void DemoHost::ReadCommands() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::function<void(const std::string&)> listener;
        {
            TMutexLock lock(m_mutex);
            listener = m_listener;
        }
        if (listener) listener(line);
        TMutexLock lock(m_mutex);
        m_commands.insert(line);
        m_changed.notify_all();
    }
    TMutexLock lock(m_mutex);
    m_endOfInput = true;
    m_changed.notify_all();
}

}  // namespace demo
