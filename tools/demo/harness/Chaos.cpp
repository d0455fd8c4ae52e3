// Chaos: the faults of --chaos made on their schedule, each noted in the run's facts, and the
// commands of a control FIFO passed on to the processes.
#include "harness/Chaos.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "harness/MainJob.h"
#include "harness/RedisNodes.h"
#include "harness/Roles.h"
#include "velsupport/PostgresServer.h"
#include "velsupport/RedisServer.h"

namespace demo {

ChaosSchedule::ChaosSchedule(Clock::time_point start, Clock::time_point end,
                             std::vector<Child>& children, RunPlace& place, RunFacts& facts)
    : m_start(start),
      m_herdAt(start + (end - start) * 20 / 100),
      m_herdQuietUntil(m_herdAt + std::chrono::milliseconds(kHerdWindowMs + 500)),
      m_restartAt(start + (end - start) * 35 / 100),
      m_outageAt(start + (end - start) * 55 / 100),
      m_outageUntil(std::min(m_outageAt + std::chrono::seconds(5),
                             std::max(m_outageAt, end - std::chrono::seconds(1)))),
      m_end(end),
      m_nextKill(start + std::chrono::seconds(3)),
      m_children(children),
      m_place(place),
      m_facts(facts) {}

void ChaosSchedule::Step(Clock::time_point now) {
    if (now >= m_nextKill && now >= m_herdAt && now < m_herdQuietUntil)
        m_nextKill += std::chrono::seconds(3);  // no re-subscription within the herd's count
    if (!m_herded && now >= m_herdAt) Herd(now);
    if (!m_outageBegan && now >= m_outageAt && m_outageUntil > m_outageAt) BeginOutage(now);
    if (m_outageBegan && !m_outageOver && now >= m_outageUntil) EndOutage();
    if (now >= m_nextKill) KillConnections(now);
    if (!m_restarted && m_facts.redisSetup == RedisSetup::PrivateServer && now >= m_restartAt)
        RestartServer(now);
    if (m_place.postgres) {
        // Five kills between 10% and 90% of the run, the database's restart at 45%.
        const auto span = m_end - m_start;
        if (m_followerKills < 5 && now >= m_start + span / 10 + span * m_followerKills / 6)
            KillFollower(now);
        if (!m_databaseRestarted && now >= m_start + span * 45 / 100) RestartDatabase(now);
        if (m_followerGoOwed)
            for (Child& c : m_children)
                if (c.role == "follower" && !c.exited && c.ready) {
                    c.Send("go");
                    m_followerGoOwed = false;
                }
    }
}

void ChaosSchedule::KillFollower(Clock::time_point now) {
    ++m_followerKills;
    for (std::size_t i = 0; i < m_children.size(); ++i) {
        Child& c = m_children[i];
        if (c.role != "follower" || c.exited) continue;
        ::kill(c.pid, SIGKILL);
        ::waitpid(c.pid, nullptr, 0);
        ::close(c.toChild);
        ::close(c.fromChild);
        // Its last report stays in the run's figures.
        c.toChild = c.fromChild = -1;
        c.exited = c.done = true;
        m_children.push_back(Spawn(m_place.childArgs, "follower", 0));
        m_followerGoOwed = true;
        ++m_facts.followerKills;
        Note(now, "follower killed (SIGKILL) and started again");
        return;
    }
}

void ChaosSchedule::RestartDatabase(Clock::time_point now) {
    m_databaseRestarted = true;
    m_place.postgres->Stop(SIGINT);
    if (m_place.postgres->Start().empty()) ++m_facts.databaseRestarts;
    Note(now, "PostgreSQL restarted");
}

void ChaosSchedule::Finish() {
    if (m_outageBegan && !m_outageOver) EndOutage();
}

void ChaosSchedule::Note(Clock::time_point at, const std::string& what) {
    m_facts.faults.push_back({Seconds(at - m_start), what});
}

void ChaosSchedule::SendAll(const std::string& command) {
    for (Child& c : m_children) c.Send(command);
}

void ChaosSchedule::Herd(Clock::time_point now) {
    m_herded = true;
    SendAll("herd");
    m_facts.herdAtSec = Seconds(now - m_start);
    Note(now, "herd: hottest answers dropped");
}

void ChaosSchedule::BeginOutage(Clock::time_point now) {
    m_outageBegan = now;
    SendAll("outage-begin");  // the writer cannot commit either
    m_facts.outageAtSec = Seconds(now - m_start);
    Note(now, "database outage begins");
}

void ChaosSchedule::EndOutage() {
    SendAll("outage-end");
    m_facts.outageSec = Seconds(Clock::now() - *m_outageBegan);
    Note(Clock::now(), "database outage ends");
    m_outageOver = true;
}

void ChaosSchedule::KillConnections(Clock::time_point now) {
    const std::vector<std::string> kill{"CLIENT", "KILL", "TYPE", "pubsub"};
    bool killed = false;
    for (const auto& node : m_place.nodes)
        killed |= m_facts.redisSetup == RedisSetup::PrivateServer
                      ? m_place.server->Command(kill).type ==
                            velmora::caching::RedisReplyValue::Type::Integer
                      : RedisCommand(node.host, node.port, kill);
    m_facts.connectionKills += killed;
    if (killed) Note(now, "subscribers' connections killed");
    m_nextKill += std::chrono::seconds(3);
}

void ChaosSchedule::RestartServer(Clock::time_point now) {
    m_restarted = true;
    m_place.server->Stop();
    if (m_place.server->Start().empty()) ++m_facts.serverRestarts;
    Note(now, "Redis server restarted");
}

ControlFifo::ControlFifo(const std::string& path)
    : m_fd(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}

ControlFifo::~ControlFifo() {
    if (m_fd >= 0) ::close(m_fd);
}

std::vector<std::string> ControlFifo::Read() {
    std::vector<std::string> lines;
    char buffer[512];
    ssize_t n;
    while (m_fd >= 0 && (n = ::read(m_fd, buffer, sizeof buffer)) > 0)
        m_pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = m_pending.find('\n')) != std::string::npos) {
        lines.push_back(m_pending.substr(0, end));
        m_pending.erase(0, end + 1);
    }
    return lines;
}

void FollowControl(ControlFifo& control, std::vector<Child>& children) {
    for (const std::string& line : control.Read()) {
        if (line != "outage-begin" && line != "outage-end") {
            std::fprintf(stderr, "control: unknown command '%s'\n", line.c_str());
            continue;
        }
        std::fprintf(stderr, "control: %s\n", line.c_str());
        for (Child& c : children) c.Send(line);
    }
}

}  // namespace demo
