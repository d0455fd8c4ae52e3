// Helpers shared by every test binary: a payload type that counts live instances, a scope that
// puts the host configuration back after a test changes it, bounded waits, and a temporary
// directory of the test's own.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "metrics2/Metrics.h"
#include "utility/CacheHelpers.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velcoreplatform/TLog.h"
#include "velsys/Exceptions.h"
#include "velsys/Locks.h"

namespace veltest {

// A payload carrying a number; counts how many instances are alive.
class TestPayload : public VelCacheData {
public:
    explicit TestPayload(int value = 0) : m_value(value) { ++s_live; }
    int Value() const { return m_value; }
    static long Live() { return s_live.load(); }

protected:
    ~TestPayload() override { --s_live; }

private:
    int m_value;
    static inline std::atomic<long> s_live{0};
};

inline CacheHelpers::Payload MakePayload(int value = 0) {
    return CacheHelpers::Payload(new TestPayload(value));
}

// The number carried by a payload made by MakePayload; -1 for null.
inline int ValueOf(const CacheHelpers::Payload& payload) {
    auto* p = dynamic_cast<TestPayload*>(payload.Get());
    return p ? p->Value() : -1;
}

// Whether another thread can take `lock` exclusively within `wait` (the calling thread must not
// hold it: TryLock succeeds for the holder).
inline bool LockCanBeTakenElsewhere(TReadWriteLock& lock, std::chrono::milliseconds wait) {
    return std::async(std::launch::async,
                      [&lock, wait] {
                          const auto deadline = std::chrono::steady_clock::now() + wait;
                          do {
                              if (lock.TryLock()) {
                                  lock.Unlock();
                                  return true;
                              }
                              std::this_thread::sleep_for(std::chrono::milliseconds(1));
                          } while (std::chrono::steady_clock::now() < deadline);
                          return false;
                      })
        .get();
}

// Whether `pred` holds within 15 s, asked every 10 ms.
template <class Pred>
bool Eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

// How many file descriptors the process has open.
inline int OpenFdCount() {
    return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// The expression text of the LogicException that `f` raises; "<none>" when it raises none.
inline std::string FailedExpression(const std::function<void()>& f) {
    try {
        f();
    } catch (const velmora::LogicException& e) {
        return e.GetExpression();
    }
    return "<none>";
}

// A fresh directory of the test's own under the system temporary directory (made by mkdtemp:
// mode 0700, a name beginning with `prefix` that no other test or process shares), removed with
// everything in it when the object goes. Raises std::runtime_error when it cannot be made.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "veltest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Turns the unit-test flag on, installs a capturing log sink and a capturing metrics sink, and on
// exit restores every option, flag and both sinks. What was captured is read the same way from
// either: Records(), Find(log message or metrics name), Clear().
class HostScope {
public:
    HostScope();
    ~HostScope();
    HostScope(const HostScope&) = delete;
    HostScope& operator=(const HostScope&) = delete;
    velmora::CapturingLogSink& Log() { return *m_log; }
    Metrics::CapturingMetricsSink& Metrics() { return *m_metrics; }

private:
    std::shared_ptr<velmora::CapturingLogSink> m_log =
        std::make_shared<velmora::CapturingLogSink>();
    std::shared_ptr<Metrics::CapturingMetricsSink> m_metrics =
        std::make_shared<Metrics::CapturingMetricsSink>();
    velmora::ScopedLogSink m_logScope{m_log};
    Metrics::ScopedMetricsSink m_metricsScope{m_metrics};
    bool m_previousUnitTest;
};

}  // namespace veltest
