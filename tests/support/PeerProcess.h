// A peer process (tests/e2e/<program>.cpp, built beside the test binaries; coherence_peer unless
// said otherwise) whose standard output a test reads line by line (its standard error goes to
// `errFile` when given).
// Every wait of the peer is bounded, so reading its output is too. One test thread owns it.
#pragma once

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace veltest {

// The steady clock in milliseconds, as the peers print their times.
inline long long SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class PeerProcess {
public:
    explicit PeerProcess(const std::string& args, const std::string& errFile = "",
                         const std::string& program = "coherence_peer") {
        const std::string dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
        m_out = ::popen(
            (dir + "/" + program + " " + args + (errFile.empty() ? "" : " 2>" + errFile)).c_str(),
            "r");
    }
    ~PeerProcess() { Close(); }
    // Waits for the peer to end; its exit status, -1 when it did not exit by itself.
    int Close() {
        const int status = m_out ? ::pclose(m_out) : -1;
        m_out = nullptr;
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // The next line without its end; "<exited>" once the peer has closed its output.
    std::string ReadLine() {
        char line[1024];
        if (!m_out || !std::fgets(line, sizeof line, m_out)) return "<exited>";
        return std::string(line).substr(0, std::string(line).find('\n'));
    }
    // Reads until a line starting with `prefix`; every "resub" line on the way is kept.
    std::string ReadUntil(const std::string& prefix) {
        for (std::string line;;) {
            line = ReadLine();
            if (line.rfind("resub ", 0) == 0) resubs.push_back(line);
            if (line.rfind(prefix, 0) == 0 || line == "<exited>") return line;
        }
    }
    std::vector<std::string> resubs;

private:
    FILE* m_out = nullptr;
};

}  // namespace veltest
