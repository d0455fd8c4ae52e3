#include "host/DemoHost.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "caching/Host.h"
#include "velcoreplatform/TLog.h"
#include "velredis/RedisSlotMap.h"
#include "velsys/Locks.h"
#include "velsys/SteadyClock.h"

using velmora::ILogSink;
using velmora::LogRecord;
using velmora::TMutex;
using velmora::TMutexLock;

using namespace velmora::caching;

namespace demo {

// Counts the external caches' lines by operation, layer and outcome, and every line at Warn or
// above ("log.warnings"), whatever it is about. The auditor's findings are also written to
// standard error as the judge's are, with the time and what the coherence service knew, so that a
// run's verdict can set each beside the fault under way.
class CountingLogSink : public ILogSink {
public:
    // From here on, the auditor's findings say what `service` knew. Once, before any cache;
    // `service` outlives the sink's use (the host removes the sink first).
    void Watch(const RedisPubsub* service) { m_service = service; }

    bool Accepts(int severity, int) const override { return severity >= TLog::Info; }
    void Write(const LogRecord& record) override {
        const std::string message = record.message.toStdString();
        if (record.severity >= TLog::Warn && message.rfind("ReadThroughCache ", 0) == 0 &&
            message.find("an answer was older than its source") != std::string::npos) {
            // Only the service's lock-free readings: this may run under a lock of the library.
            const RedisPubsub* service = m_service;
            std::fprintf(
                stderr, "[check] auditor finding at %.3f: %s; %s\n",
                std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                    .count(),
                message.c_str(),
                service ? DescribeHearing(*service).c_str() : "no coherence service");
        }
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
        if (!name.empty()) ++m_counts[name];
        if (warning) ++m_counts["log.warnings"];
    }
    std::map<std::string, std::int64_t> Counts() const {
        TMutexLock lock(m_mutex);
        return m_counts;
    }

private:
    mutable TMutex m_mutex;
    std::map<std::string, std::int64_t> m_counts VEL_GUARDED_BY(m_mutex);
    std::atomic<const RedisPubsub*> m_service{nullptr};  // set once (Watch)
};

std::string DescribeHearing(const RedisPubsub& service) {
    const long long sinceHeardMs = (SteadyNowNs() - service.LastHeardNs()) / 1000000;
    return std::string("coherence ") + (service.Hears() ? "hears" : "deaf") + " (last heard " +
           std::to_string(sinceHeardMs) + " ms before)";
}

DemoHost::DemoHost(const HostConfig& config) {
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
    options.coherenceNamespace = kCoherenceNamespace;
    // Time-outs, heartbeat, reconnection and the silence bound are the library's defaults: the
    // run checks the 1 s window a host gets without tuning anything.
    options.diskDirectory = config.externalDir;
    // Redis values of a run outlive it by a few minutes at most.
    options.redisValuesExpireSec = 600;
    options.stderrLevel = HostLogLevel::Error;
    options.logSink = m_sink;
    Host& host = Host::Start(options);
    m_service = host.Service();
    m_sink->Watch(m_service.get());
    m_disk = host.DiskLayer();
    m_redis = host.RedisLayer();
    m_tags = host.Tags();
}

DemoHost::~DemoHost() {
    TLog::SetSink(nullptr);
}

std::map<std::string, std::int64_t> DemoHost::LogCounts() const {
    return m_sink->Counts();
}

}  // namespace demo
