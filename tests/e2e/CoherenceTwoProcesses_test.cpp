// Two host processes share a private redis-server. Process A adds an entry under key hash K with
// data hash H1 at time T; process B then adds K with H2 at a time later than T by more than the
// margin. A's entry must leave A's cache and A's invalidator must be told.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/RedisServerFixture.h"
#include "velcoredata/DateTime.h"

extern char** environ;

namespace {

// A peer process (tests/e2e/coherence_peer.cpp) whose output the test reads line by line.
class Peer {
public:
    explicit Peer(std::vector<std::string> args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        args.insert(args.begin(), std::string(VELTEST_PEER_DIR) + "/coherence_peer");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out = out[0];
    }
    // Reaps the peer; one that has not exited after 25 s is killed.
    ~Peer() {
        for (int i = 0; m_pid > 0 && i < 1000 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; ++i)
            ::usleep(25000);
        if (m_pid > 0 && ::kill(m_pid, SIGKILL) == 0) ::waitpid(m_pid, nullptr, 0);
        ::close(m_out);
    }
    bool Started() const { return m_pid > 0; }

    // The next line of output, or "<timeout>" after 30 s without one.
    std::string ReadLine() {
        for (size_t end; (end = m_buffer.find('\n')) == std::string::npos;) {
            pollfd fd{m_out, POLLIN, 0};
            char chunk[256];
            if (::poll(&fd, 1, 30000) <= 0) return "<timeout>";
            const ssize_t n = ::read(m_out, chunk, sizeof chunk);
            if (n <= 0) return "<exited>";
            m_buffer.append(chunk, size_t(n));
        }
        const size_t end = m_buffer.find('\n');
        std::string line = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 1);
        return line;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
};

class CoherenceAcrossProcesses : public veltest::RedisServerTest {};

TEST_F(CoherenceAcrossProcesses, NewerDifferingEntryInOneProcessDropsTheOlderInTheOther) {
    const std::string port = std::to_string(Server().Port());
    const unsigned long long t = DateTime::UtcNow().GetRepresentation();
    const unsigned long long later = t + 6 * 10000000ULL;  // 6 s: beyond the default 5 s margin

    Peer a({port, "4660", "22136", "1", "1", std::to_string(t), "1"});
    ASSERT_TRUE(a.Started());
    const std::string addedA = a.ReadLine();
    ASSERT_EQ(addedA.rfind("added ", 0), 0u) << addedA;
    const std::string guidA = addedA.substr(6);

    Peer b({port, "4660", "22136", "2", "2", std::to_string(later), "0"});
    ASSERT_TRUE(b.Started());
    const std::string addedB = b.ReadLine();
    ASSERT_EQ(addedB.rfind("added ", 0), 0u) << addedB;

    EXPECT_EQ(a.ReadLine(), "dirty " + guidA + " 1");
}

}  // namespace
