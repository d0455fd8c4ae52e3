// A helper program built beside the test binaries (tests/e2e/*_peer.cpp), driven through its
// standard input and read line by line from its standard output: a test sends a command and
// reads the answer, so processes take their steps in the order the test sets, without sleeps.
// Every read is bounded; the peer is told to end (its input closed) when the object goes, and
// killed if it has not ended within 10 s. One test thread owns it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "velsupport/Process.h"

namespace veltest {

class InteractivePeer {
public:
    // Starts `program` (a file beside the running test binary) with `args`; its standard error
    // goes to `errFile` (truncated).
    InteractivePeer(const std::string& program, const std::vector<std::string>& args,
                    const std::string& errFile) {
        ::signal(SIGPIPE, SIG_IGN);  // a peer that ended must not end the test when written to
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        if (::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0) {
            std::vector<std::string> argv{
                (std::filesystem::read_symlink("/proc/self/exe").parent_path() / program)};
            argv.insert(argv.end(), args.begin(), args.end());
            // The child opens its ends of the pipes before it closes everything else.
            const auto end = [](int fd) { return "/proc/self/fd/" + std::to_string(fd); };
            m_pid = velsupport::SpawnProcess(argv, end(in[0]), end(out[1]), errFile);
        }
        for (int fd : {in[0], out[1]})
            if (fd >= 0) ::close(fd);
        m_in = in[1];
        m_out = out[0];
    }
    ~InteractivePeer() {
        if (m_in >= 0) ::close(m_in);
        if (m_pid > 0 && velsupport::WaitProcess(m_pid, std::chrono::seconds(10)) == -2)
            ::kill(m_pid, SIGKILL), velsupport::WaitProcess(m_pid, std::chrono::seconds(10));
        if (m_out >= 0) ::close(m_out);
    }
    InteractivePeer(const InteractivePeer&) = delete;
    InteractivePeer& operator=(const InteractivePeer&) = delete;

    void Send(const std::string& line) {
        const std::string text = line + "\n";
        if (m_in >= 0) (void)!::write(m_in, text.data(), text.size());
    }
    // The next line without its end; "<exited>" once the peer has closed its output,
    // "<timed out>" when no line came within `wait`.
    std::string ReadLine(std::chrono::milliseconds wait = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            if (const auto end = m_buffer.find('\n'); end != std::string::npos) {
                std::string line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{m_out, POLLIN, 0};
            if (m_out < 0 || left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0)
                return m_out < 0 ? "<exited>" : "<timed out>";
            char chunk[4096];
            const ssize_t n = ::read(m_out, chunk, sizeof chunk);
            if (n <= 0) return "<exited>";
            m_buffer.append(chunk, std::size_t(n));
        }
    }
    // Sends `line` and returns the answer.
    std::string Ask(const std::string& line) {
        Send(line);
        return ReadLine();
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
};

}  // namespace veltest
