// LockDetectionTimer: watches one hold of a lock.
//
// Made before the lock is requested, told StartBlock once the lock is held, and destroyed
// after the lock is released. It measures how long the lock took to get and how long it was
// held, and writes a Warn line ("Lock held too long." or "Lock wait too long.", with the
// timer's name and both times in milliseconds) when either passes the process-wide threshold
// (1000 ms unless the host sets another with SetThresholdMs).
// Thread contract: not thread-safe: use from one thread at a time (the thread that takes the
// lock). SetThresholdMs is safe for concurrent use.
#pragma once

#include <chrono>
#include <cstdint>

#include "velcoreplatform/TString.h"
#include "velsys/Export.h"

class VELPLATFORM_EXPORT LockDetectionTimer {
public:
    explicit LockDetectionTimer(const TString& name);
    ~LockDetectionTimer();
    LockDetectionTimer(const LockDetectionTimer&) = delete;
    LockDetectionTimer& operator=(const LockDetectionTimer&) = delete;

    // The lock is now held.
    void StartBlock();

    static void SetThresholdMs(std::int64_t thresholdMs);
    static std::int64_t GetThresholdMs();

private:
    TString m_name;
    std::chrono::steady_clock::time_point m_created;
    std::chrono::steady_clock::time_point m_blockStart;
    bool m_blockStarted = false;
};
