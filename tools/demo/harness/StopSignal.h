// StopSignal: SIGINT, SIGTERM and SIGHUP end the parent's run early rather than the parent, so
// that it still stops its children and its private redis-server and removes its directories.
// A second such signal ends the process at once. The parent's main thread installs it once.
#pragma once

namespace demo {

// Installs the handlers (SA_RESETHAND: the signal's default action is back once it arrived).
void CatchStopSignals();
// The stop signal that arrived, 0 when none. Any thread; lock-free.
int StopSignal();

}  // namespace demo
