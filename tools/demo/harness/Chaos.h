// Chaos: the faults the parent makes while the workload runs, on the schedule of --chaos or on
// command from a script's control FIFO. One thread: the parent's loop.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "harness/Children.h"
#include "harness/Summary.h"

namespace demo {

struct RunPlace;

// The faults of a --chaos run, each made once its time comes: the herd first (its loads counted
// with no other fault near), the server's restart, then the database outage, over with a second
// of the workload to spare; the subscribers' connections killed every 3 s. Each is recorded in
// `facts` with its time.
class ChaosSchedule {
public:
    ChaosSchedule(Clock::time_point start, Clock::time_point end, std::vector<Child>& children,
                  RunPlace& place, RunFacts& facts);

    // Makes the faults whose time has come.
    void Step(Clock::time_point now);
    // Ends an outage still going on.
    void Finish();

private:
    void Note(Clock::time_point at, const std::string& what);
    void SendAll(const std::string& command);
    void Herd(Clock::time_point now);
    void BeginOutage(Clock::time_point now);
    void EndOutage();
    void KillConnections(Clock::time_point now);
    void RestartServer(Clock::time_point now);
    // On PostgreSQL: the follower killed with SIGKILL and started again (five times), and the
    // database restarted once.
    void KillFollower(Clock::time_point now);
    void RestartDatabase(Clock::time_point now);

    const Clock::time_point m_start, m_herdAt, m_herdQuietUntil, m_restartAt, m_outageAt,
        m_outageUntil;
    const Clock::time_point m_end;
    Clock::time_point m_nextKill;
    std::vector<Child>& m_children;
    RunPlace& m_place;
    RunFacts& m_facts;
    bool m_herded = false;
    bool m_restarted = false;
    int m_followerKills = 0;
    bool m_followerGoOwed = false;  // a follower started again waits for "go" once ready
    bool m_databaseRestarted = false;
    std::optional<Clock::time_point> m_outageBegan;
    bool m_outageOver = false;
};

// The fault commands a script sends while the workload runs, read from a FIFO without blocking
// (no writer, or a writer gone, reads as nothing new). Owned by the parent's loop; one thread.
class ControlFifo {
public:
    explicit ControlFifo(const std::string& path);
    ~ControlFifo();
    ControlFifo(const ControlFifo&) = delete;
    ControlFifo& operator=(const ControlFifo&) = delete;
    bool Opened() const { return m_fd >= 0; }

    // The complete lines that arrived since the last call.
    std::vector<std::string> Read();

private:
    const int m_fd;
    std::string m_pending;
};

// Passes the database outage commands of `control` on to every process (the writer cannot
// commit either while the database is unusable).
void FollowControl(ControlFifo& control, std::vector<Child>& children);

}  // namespace demo
