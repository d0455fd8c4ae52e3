// The private servers a process started and has not stopped (redis-server, PostgreSQL), stopped
// and their directories removed when the process ends through exit() with them still running:
// the child of a death test runs its test again from the start, and exit() skips the destructors
// of what the test made, so without this a server would outlive the process, holding its port
// and its directory. A forked child that calls exit() leaves its parent's servers alone. Safe for
// concurrent use.
#pragma once

#include <sys/types.h>

#include <string>

namespace velsupport {

// Stops the server `pid` (with `stop`, which reaps it) and removes `dir` at exit, unless
// ForgetAtExit was called for it first.
void StopAtExit(pid_t pid, const std::string& dir, void (*stop)(pid_t));
void ForgetAtExit(pid_t pid);

}  // namespace velsupport
