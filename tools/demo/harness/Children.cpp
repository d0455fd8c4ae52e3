// Children: starting the run's processes with posix_spawn, reading their report lines with poll,
// and reaping them once they have settled.
#include "harness/Children.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "harness/StopSignal.h"

namespace demo {

void Say(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
}

std::string SelfPath() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

namespace {

// The words of VELCACHE_DEMO_WORKER_WRAPPER, each "%i" in them replaced by the worker's index:
// a program the workers start under (a heap profiler, for one), found on the PATH.
std::vector<std::string> WorkerWrapper(int index) {
    std::vector<std::string> words;
    const char* wrapper = std::getenv("VELCACHE_DEMO_WORKER_WRAPPER");
    std::istringstream in(wrapper ? wrapper : "");
    for (std::string word; in >> word;) {
        for (std::size_t at; (at = word.find("%i")) != std::string::npos;)
            word.replace(at, 2, std::to_string(index));
        words.push_back(word);
    }
    return words;
}

}  // namespace

Child Spawn(const std::vector<std::string>& args, const std::string& role, int index) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<std::string> all =
        role == "worker" ? WorkerWrapper(index) : std::vector<std::string>();
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), {"--role", role, "--index", std::to_string(index)});
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    Child child;
    child.role = role;
    child.index = index;
    const int rc = posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) throw std::runtime_error("cannot start " + role);
    child.toChild = in[1];
    child.fromChild = out[0];
    return child;
}

void Collect(std::vector<Child>& children, std::chrono::milliseconds wait) {
    std::vector<pollfd> fds;
    for (const Child& c : children) fds.push_back({c.exited ? -1 : c.fromChild, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), static_cast<int>(wait.count())) <= 0) return;
    for (std::size_t i = 0; i < children.size(); ++i) {
        Child& c = children[i];
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buffer[65536];
        const ssize_t n = ::read(c.fromChild, buffer, sizeof buffer);
        if (n <= 0) {
            c.exited = true;
            continue;
        }
        c.pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = c.pending.find('\n')) != std::string::npos) {
            const std::string line = c.pending.substr(0, end);
            c.pending.erase(0, end + 1);
            const std::string kind = line.substr(0, line.find(' '));
            if (kind != "ready" && kind != "progress" && kind != "final") continue;
            c.latest = Stats::Decode(line.substr(kind.size()));
            c.ready = true;
            if (kind == "final") c.done = true;
        }
    }
}

bool WaitUntil(std::vector<Child>& children, const std::function<bool(const Child&)>& condition,
               std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        bool all = true;
        for (const Child& c : children) all = all && (condition(c) || c.exited);
        if (all) return true;
        if (Clock::now() > deadline || StopSignal() != 0) return false;
        Collect(children, std::chrono::milliseconds(100));
    }
}

Stats Sum(const std::vector<Child>& children, const std::string& role) {
    Stats sum;
    for (const Child& c : children)
        if (c.role == role) sum.Merge(c.latest);
    return sum;
}

void StopAndReap(std::vector<Child>& children) {
    if (StopSignal() != 0) {
        // Stopped from outside: no settling, no final reports.
        for (Child& c : children) {
            ::close(c.toChild);
            ::kill(c.pid, SIGTERM);
            ::waitpid(c.pid, nullptr, 0);
            ::close(c.fromChild);
        }
        return;
    }
    for (Child& c : children)
        if (c.role == "writer") c.Send("stop");
    WaitUntil(
        children, [](const Child& c) { return c.role != "writer" || c.done; },
        std::chrono::seconds(30));
    Say("writer stopped; workers settle and compare what they hold with the database");
    for (Child& c : children) c.Send("settle");
    const bool settled = WaitUntil(
        children, [](const Child& c) { return c.done; }, std::chrono::seconds(120));
    for (Child& c : children) {
        ::close(c.toChild);
        if (!settled && !c.done) ::kill(c.pid, SIGKILL);
        int status = 0;
        ::waitpid(c.pid, &status, 0);
        ::close(c.fromChild);
        if (!c.done) Say(c.role + " " + std::to_string(c.index) + " ended without a final report");
    }
}

double ChildrenCpuSec() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto sec = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return sec(usage.ru_utime) + sec(usage.ru_stime);
}

}  // namespace demo
