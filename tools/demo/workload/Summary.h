// Summary: the end of a run as a person reads it (a table) and as a script reads it (JSON), both
// made from the same figures: the workers' and the writer's stats added up by the parent.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <string>
#include <vector>

#include "Stats.h"

namespace demo {

struct RunFacts {
    std::string redisEndpoint;
    bool privateRedis = true;
    int processes = 0;
    double durationSec = 0;  // of the workload
    std::uint64_t seed = 0;
    int salesRows = 0;
    std::string dbPath;
    bool allReported = true;  // every process sent its final report
    bool chaos = false;
    int connectionKills = 0;
    int serverRestarts = 0;
    std::vector<std::int64_t> receivedPerWorker;
    std::vector<std::int64_t> settleStalePerWorker;
};

class Summary {
public:
    Summary(RunFacts facts, Stats workers, Stats writer)
        : m_facts(std::move(facts)), m_workers(std::move(workers)), m_writer(std::move(writer)) {}

    std::string Table() const;
    std::string Json() const;
    // Every process reported, zero stale answers beyond the window and zero stale entries
    // after settling.
    bool Correct() const;

private:
    std::int64_t Answers() const { return m_workers.Get("queries"); }
    double Speedup() const;
    // Workers' and writer's counts added.
    std::int64_t Total(const char* counter) const;

    RunFacts m_facts;
    Stats m_workers;
    Stats m_writer;
};

}  // namespace demo
