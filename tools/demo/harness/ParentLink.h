// ParentLink: a worker's or the writer's two channels to the parent: commands in on standard
// input ("go", "stop", "settle", and the faults' words), reports out on standard output, one
// line each. A thread of its own reads the commands from construction on.
// Safe for concurrent use (one per process).
#pragma once

#include <condition_variable>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "harness/Stats.h"
#include "host/DemoHost.h"
#include "velsys/Locks.h"

namespace demo {

class ParentLink {
public:
    ParentLink();
    ~ParentLink();
    ParentLink(const ParentLink&) = delete;
    ParentLink& operator=(const ParentLink&) = delete;

    // Runs `listener` on the thread that reads the parent's commands, with each command as it
    // arrives (before Received sees it). Set it before the parent may send what it listens for.
    void SetCommandListener(std::function<void(const std::string&)> listener);

    // Writes "<kind> <stats>" to the parent.
    void Report(const std::string& kind, const Stats& stats) const;
    // Whether the parent has sent `command` (an end of input counts as every command).
    bool Received(const std::string& command) const;
    void WaitFor(const std::string& command) const;

private:
    void ReadCommands();

    mutable velmora::TMutex m_mutex;
    mutable std::condition_variable m_changed;
    std::set<std::string> m_commands VEL_GUARDED_BY(m_mutex);
    bool m_endOfInput VEL_GUARDED_BY(m_mutex) = false;
    std::function<void(const std::string&)> m_listener VEL_GUARDED_BY(m_mutex);
    std::thread m_reader;
};

// Sets the host's external-cache outcomes, warnings and the coherence service's figures so far.
void AddHostCounts(const DemoHost& host, Stats& stats);

}  // namespace demo
