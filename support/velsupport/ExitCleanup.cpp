#include "velsupport/ExitCleanup.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

namespace velsupport {

namespace {

struct RunningServer {
    pid_t pid;
    pid_t owner;  // a forked child that calls exit() must leave its parent's servers alone
    std::string dir;
    void (*stop)(pid_t);
};

struct RunningServers {
    std::mutex mutex;
    std::vector<RunningServer> servers;
};

void StopRunningServersAtExit();

// Never destroyed: the handler below may run after the static objects of the process have gone.
RunningServers& Running() {
    static RunningServers* running = [] {
        auto* made = new RunningServers;
        std::atexit(StopRunningServersAtExit);
        return made;
    }();
    return *running;
}

void StopRunningServersAtExit() {
    std::vector<RunningServer> mine;
    {
        const std::lock_guard lock(Running().mutex);
        for (const RunningServer& s : Running().servers)
            if (s.owner == ::getpid()) mine.push_back(s);
    }
    for (const RunningServer& s : mine) {
        s.stop(s.pid);
        std::error_code ignored;
        std::filesystem::remove_all(s.dir, ignored);
    }
}

}  // namespace

void StopAtExit(pid_t pid, const std::string& dir, void (*stop)(pid_t)) {
    RunningServers& running = Running();
    const std::lock_guard lock(running.mutex);
    running.servers.push_back({pid, ::getpid(), dir, stop});
}

void ForgetAtExit(pid_t pid) {
    RunningServers& running = Running();
    const std::lock_guard lock(running.mutex);
    std::erase_if(running.servers, [pid](const RunningServer& s) { return s.pid == pid; });
}

}  // namespace velsupport
