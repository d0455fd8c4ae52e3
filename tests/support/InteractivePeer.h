// A helper program built beside the test binaries (tests/e2e/*_peer.cpp), driven through its
// standard input and read line by line from its standard output: a test sends a command and
// reads the answer, so processes take their steps in the order the test sets, without sleeps.
// Every read is bounded; the peer is told to end (its input closed) when the object goes, and
// killed if it has not ended within 10 s. One test thread owns it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace veltest {

class InteractivePeer {
public:
    // Starts `program` (a file beside the running test binary) with `args`; its standard error
    // goes to `errFile` (appended), or is inherited when empty.
    InteractivePeer(const std::string& program, const std::vector<std::string>& args,
                    const std::string& errFile = "") {
        // A peer that ended must not end the test when it is written to.
        ::signal(SIGPIPE, SIG_IGN);
        const std::string path =
            (std::filesystem::read_symlink("/proc/self/exe").parent_path() / program).string();
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        std::vector<std::string> all{path};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_adddup2(&files, in[0], 0);
        posix_spawn_file_actions_adddup2(&files, out[1], 1);
        if (!errFile.empty())
            posix_spawn_file_actions_addopen(&files, 2, errFile.c_str(),
                                             O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (::posix_spawn(&m_pid, path.c_str(), &files, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&files);
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~InteractivePeer() {
        if (m_in >= 0) ::close(m_in);
        if (m_pid > 0) {
            int status = 0;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (::waitpid(m_pid, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    ::kill(m_pid, SIGKILL);
                    ::waitpid(m_pid, &status, 0);
                    break;
                }
                ::usleep(2000);
            }
        }
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
