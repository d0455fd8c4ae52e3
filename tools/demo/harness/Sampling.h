// Sampling: what the parent records of a run as it goes (the workers' figures second by second,
// the live progress line) and the run's facts once its processes are reaped. One thread.
#pragma once

#include <cstddef>
#include <vector>

#include "harness/Children.h"
#include "harness/Options.h"
#include "harness/Summary.h"

namespace demo {

// What the workers had reported by the end of a second: what the report charts of their stats
// added up, and the largest delivery lag any of them saw.
void SampleSecond(const std::vector<Child>& children, RunFacts& facts, Histogram& latencyBefore);

// Once the timeline holds `maxPoints` points (or more, an even number), halves it: each pair of
// points becomes one covering twice the time (the answers added, the later stats kept, the larger
// lags kept) and secondsPerPoint doubles, so that a run of days keeps a timeline of bounded size.
void BoundTimeline(RunFacts& facts, std::size_t maxPoints);
// The main job's bound: a point holds about 1 KiB of figures, so the timeline stays under 4 MiB;
// runs up to an hour and 8 minutes keep one point a second.
constexpr std::size_t kTimelinePoints = 4096;

// The live progress line, every second on a terminal (every two otherwise).
class ProgressPrinter {
public:
    explicit ProgressPrinter(Clock::time_point start);
    void Step(Clock::time_point now, const std::vector<Child>& children);
    void Finish() const;

private:
    const Clock::time_point m_start;
    const bool m_live;
    Clock::time_point m_next;
    Stats m_before;
    Clock::time_point m_beforeAt;
};

// The options of the run and what each process reported in the end, into `facts`.
void NoteOutcome(const Options& options, const std::vector<Child>& children, RunFacts& facts);

}  // namespace demo
