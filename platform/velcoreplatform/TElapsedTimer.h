// TElapsedTimer: measures elapsed wall time on the monotonic clock.
// Thread contract: const methods are safe for concurrent use; anything else needs external
// synchronization.
#pragma once

#include <chrono>
#include <cstdint>

class TElapsedTimer {
public:
    // A new timer is started.
    TElapsedTimer() : m_start(std::chrono::steady_clock::now()) {}
    void Start() { m_start = std::chrono::steady_clock::now(); }
    // Milliseconds since Start (or construction), rounded down.
    std::uint64_t ElapsedMs() const {
        return std::uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - m_start)
                                 .count());
    }
    std::chrono::nanoseconds Elapsed() const { return std::chrono::steady_clock::now() - m_start; }

private:
    std::chrono::steady_clock::time_point m_start;
};
