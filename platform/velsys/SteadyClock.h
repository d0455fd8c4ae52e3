// SteadyNowNs: the steady clock's reading as nanoseconds in one integer, for timestamps kept in
// atomics and compared across threads. Any thread may call it; it takes no lock.
#pragma once

#include <chrono>

inline long long SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
