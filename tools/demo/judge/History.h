// HistoryLog: the run's history of reads and writes for `velcache audit` (docs/consistency.md),
// appended by every process of the run to one file. A worker records a sample of its answers
// (one read line per base query part, with the version it was computed from), the writer every
// new version of a base query with the moment its transaction had committed. Times are
// CLOCK_REALTIME nanoseconds: every process of a run is on one machine.
// Not thread-safe: use from one thread at a time. Lines go out in whole-line writes to a file
// opened for appending, so that the processes' lines never interleave within a line.
#pragma once

#include <cstdint>
#include <string>

#include "data/QueryResult.h"

namespace demo {

// Nanoseconds of CLOCK_REALTIME.
std::int64_t RealtimeNs();

class HistoryLog {
public:
    // Appends to `path`; an empty path records nothing.
    explicit HistoryLog(const std::string& path);
    ~HistoryLog();
    HistoryLog(const HistoryLog&) = delete;
    HistoryLog& operator=(const HistoryLog&) = delete;

    bool On() const { return m_fd >= 0; }
    // `process` read `result` between `startNs` and `endNs`: one line per base part.
    void Read(const std::string& process, const QueryResult& result, std::int64_t startNs,
              std::int64_t endNs);
    // Version `version` of base query `qid` had committed by `commitNs`.
    void Write(int qid, std::int64_t version, std::int64_t commitNs);

private:
    void Flush();

    int m_fd = -1;
    std::string m_buffer;
};

}  // namespace demo
