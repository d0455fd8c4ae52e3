#include "velcore/LockDetectionTimer.h"

#include <atomic>

#include "velcoreplatform/TLog.h"

namespace {
std::atomic<std::int64_t> s_thresholdMs{1000};

std::int64_t Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}
}  // namespace

LockDetectionTimer::LockDetectionTimer(const TString& name)
    : m_name(name), m_created(std::chrono::steady_clock::now()) {}

void LockDetectionTimer::StartBlock() {
    m_blockStart = std::chrono::steady_clock::now();
    m_blockStarted = true;
}

LockDetectionTimer::~LockDetectionTimer() {
    if (!m_blockStarted) return;
    try {
        const auto now = std::chrono::steady_clock::now();
        const std::int64_t waitMs = Ms(m_blockStart - m_created);
        const std::int64_t heldMs = Ms(now - m_blockStart);
        const std::int64_t threshold = s_thresholdMs.load(std::memory_order_relaxed);
        if (heldMs < threshold && waitMs < threshold) return;
        TLog::LogMessage(
            TLog::Warn,
            TString(heldMs >= threshold ? "Lock held too long." : "Lock wait too long."),
            velmora::StringLookupTable{{TString("lock"), m_name},
                                       {TString("wait-ms"), TString::number(waitMs)},
                                       {TString("held-ms"), TString::number(heldMs)}});
    } catch (...) {
        // A destructor lets nothing escape; the line is lost.
    }
}

void LockDetectionTimer::SetThresholdMs(std::int64_t thresholdMs) {
    s_thresholdMs.store(thresholdMs, std::memory_order_relaxed);
}

std::int64_t LockDetectionTimer::GetThresholdMs() {
    return s_thresholdMs.load(std::memory_order_relaxed);
}
