#include "harness/StopSignal.h"

#include <signal.h>

#include <atomic>

namespace demo {

namespace {

std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "written from a signal handler");

extern "C" void OnStopSignal(int signal) {
    g_stopSignal.store(signal, std::memory_order_relaxed);
}

}  // namespace

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int StopSignal() {
    return g_stopSignal.load(std::memory_order_relaxed);
}

}  // namespace demo
