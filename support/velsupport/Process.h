// Child processes for the tests, the benchmarks and the demo: find a program on PATH, start it
// with its standard streams on files, wait for it within a bound. Functions of one thread's use;
// a child is reaped by the thread that waits for it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velsupport {

// Whether an executable file named `program` is in one of the directories that PATH names
// (checked without a shell; false when PATH is unset).
inline bool IsOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    return false;
}

// Starts `args` (argv[0] looked up on PATH when it holds no '/') with standard input read from
// `in` and standard output and error written to `out` and `err` (created or truncated), no
// other descriptor of the caller, every signal at its default action and none blocked whatever
// the test process set. The process id,
// or -1 when it could not be started.
inline pid_t SpawnProcess(const std::vector<std::string>& args, const std::string& in = "/dev/null",
                          const std::string& out = "/dev/null",
                          const std::string& err = "/dev/null") {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Nothing else of the caller's: a child that outlives it (a server left behind by a test
    // process that died) holds none of its pipes or sockets open.
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], &files, &attr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    return pid;
}

// Waits up to `limit` for `pid` to exit, and reaps it. Its exit code, -1 when a signal ended it,
// -2 when it is still running.
inline int WaitProcess(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int status = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (std::chrono::steady_clock::now() >= deadline) return -2;
    }
}

}  // namespace velsupport
