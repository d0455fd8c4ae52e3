#include "harness/ParentLink.h"

#include <cstdio>
#include <iostream>

using velmora::TMutexLock;

using namespace velmora::caching;

namespace demo {

ParentLink::ParentLink() {
    m_reader = std::thread([this] { ReadCommands(); });
}

ParentLink::~ParentLink() {
    // The reader ends when the parent closes our input; the process exits without waiting.
    if (m_reader.joinable()) m_reader.detach();
}

void ParentLink::Report(const std::string& kind, const Stats& stats) const {
    const std::string line = kind + stats.Encode() + "\n";
    TMutexLock lock(m_mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

bool ParentLink::Received(const std::string& command) const {
    TMutexLock lock(m_mutex);
    return m_endOfInput || m_commands.count(command) != 0;
}

void ParentLink::WaitFor(const std::string& command) const {
    TMutexLock lock(m_mutex);
    m_changed.wait(lock.Native(), [&]() VEL_REQUIRES(m_mutex) {
        return m_endOfInput || m_commands.count(command) != 0;
    });
}

void ParentLink::SetCommandListener(std::function<void(const std::string&)> listener) {
    TMutexLock lock(m_mutex);
    m_listener = std::move(listener);
}

void ParentLink::ReadCommands() {
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

void AddHostCounts(const DemoHost& host, Stats& stats) {
    for (const auto& [name, value] : host.LogCounts()) stats.counters[name] = value;
    const CoherenceHealth health = host.Service()->GetHealth();
    // Gauges, "gauge.health.*", are levels: read per process, not added up across processes.
#define DEMO_HEALTH_STAT(member, tag, kind, initial, help)                             \
    stats.counters[std::string(#kind[0] == 'G' ? "gauge.health." : "health.") + tag] = \
        health.member;
    VELCACHE_COHERENCE_HEALTH(DEMO_HEALTH_STAT)
#undef DEMO_HEALTH_STAT
}

}  // namespace demo
