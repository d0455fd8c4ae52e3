// Children: the worker and writer processes of a run as the parent sees them: started with a pipe
// each way, their reports read as they come, waited for, stopped and reaped. One thread: the
// parent's.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "harness/Stats.h"

namespace demo {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A line of the parent's progress on standard error.
void Say(const std::string& text);

// One child process with a pipe each way.
struct Child {
    std::string role;
    int index = 0;
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
    std::string pending;  // bytes of an incomplete line
    Stats latest;
    bool ready = false;
    bool done = false;
    bool exited = false;

    // A child that has gone away is noticed by Collect; a failed write needs nothing more.
    void Send(const std::string& command) {
        const std::string line = command + "\n";
        const ssize_t written = toChild >= 0 ? ::write(toChild, line.data(), line.size()) : 0;
        (void)written;
    }
};

// This program's path, which the children run again in their role.
std::string SelfPath();
// Starts this program (args[0] and `args`) as `role` number `index`.
Child Spawn(const std::vector<std::string>& args, const std::string& role, int index);
// Reads what the children wrote, for at most `wait`; keeps each child's latest report.
void Collect(std::vector<Child>& children, std::chrono::milliseconds wait);
// Collects until every child meets `condition` or has exited; false after `limit`.
bool WaitUntil(std::vector<Child>& children, const std::function<bool(const Child&)>& condition,
               std::chrono::seconds limit);
// The latest reports of the children in `role`, added up.
Stats Sum(const std::vector<Child>& children, const std::string& role);
// Stops the writer, lets the workers settle and check what they hold, and reaps every child.
void StopAndReap(std::vector<Child>& children);
// The CPU time of the reaped children so far, user and system.
double ChildrenCpuSec();

}  // namespace demo
