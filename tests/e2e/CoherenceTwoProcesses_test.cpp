// Two host processes share a private redis-server. Process A adds an entry under key hash K with
// data hash H1 at time T; process B then adds K with H2 at a time later than T by more than the
// margin. A's entry must leave A's cache and A's invalidator must be told.
#include <cstdio>
#include <string>

#include "support/RedisServerFixture.h"
#include "velcoredata/DateTime.h"

namespace {

// A peer process (tests/e2e/coherence_peer.cpp) whose output the test reads line by line. Every
// wait of the peer is bounded, so reading its output is too.
class Peer {
public:
    explicit Peer(const std::string& args)
        : m_out(::popen((VELTEST_PEER_DIR "/coherence_peer " + args).c_str(), "r")) {}
    ~Peer() {
        if (m_out) ::pclose(m_out);
    }
    std::string ReadLine() {
        char line[256];
        if (!m_out || !std::fgets(line, sizeof line, m_out)) return "<exited>";
        return std::string(line).substr(0, std::string(line).find('\n'));
    }

private:
    FILE* m_out;
};

class CoherenceAcrossProcesses : public veltest::RedisServerTest {};

TEST_F(CoherenceAcrossProcesses, NewerDifferingEntryInOneProcessDropsTheOlderInTheOther) {
    const std::string port = std::to_string(Server().Port());
    const unsigned long long t = DateTime::UtcNow().GetRepresentation();
    const unsigned long long later = t + 6 * 10000000ULL;  // 6 s: beyond the default 5 s margin

    Peer a(port + " 4660 22136 1 1 " + std::to_string(t) + " 1");
    const std::string addedA = a.ReadLine();
    ASSERT_EQ(addedA.rfind("added ", 0), 0u) << addedA;
    Peer b(port + " 4660 22136 2 2 " + std::to_string(later) + " 0");
    const std::string addedB = b.ReadLine();
    ASSERT_EQ(addedB.rfind("added ", 0), 0u) << addedB;
    EXPECT_EQ(a.ReadLine(), "dirty " + addedA.substr(6) + " 1");
}

}  // namespace
