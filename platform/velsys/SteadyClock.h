// SteadyNowNs: the steady clock's reading as nanoseconds in one integer, for timestamps kept in
// atomics and compared across threads. Any thread may call it; it takes no lock.
#pragma once

#include <time.h>

#include <chrono>

inline long long SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The length of a tick of the kernel's coarse clocks (CLOCK_MONOTONIC_COARSE and
// CLOCK_REALTIME_COARSE read the last tick, without the precise clocks' cost), or -1 when the
// kernel has none.
inline long long CoarseTickNs() {
    static const long long tickNs = [] {
        timespec resolution{};
        if (clock_getres(CLOCK_MONOTONIC_COARSE, &resolution) != 0) return -1LL;
        return static_cast<long long>(resolution.tv_sec) * 1000000000LL + resolution.tv_nsec;
    }();
    return tickNs;
}

// At least SteadyNowNs(), and cheaper to read: the kernel's coarse reading of the same clock
// (the last tick) plus the length of a tick. For deadlines and silences on a hot path, which it
// judges at most a tick early, never late.
inline long long SteadyNowUpperBoundNs() {
    const long long tickNs = CoarseTickNs();
    timespec now{};
    if (tickNs < 0 || clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return SteadyNowNs();
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec + tickNs;
}
