// Helpers shared by every test binary: a payload type that counts live instances, and a scope
// that puts the host configuration back after a test changes it.
#pragma once

#include <atomic>
#include <memory>

#include "utility/CacheHelpers.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velcoreplatform/TLog.h"

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

// Turns the unit-test flag on, installs a capturing log sink, and on exit restores every
// option, flag and the sink.
class HostScope {
public:
    HostScope();
    ~HostScope();
    CapturingLogSink& Log() { return *m_sink; }

private:
    std::shared_ptr<CapturingLogSink> m_sink;
    std::shared_ptr<ILogSink> m_previousSink;
    bool m_previousUnitTest;
};

}  // namespace veltest
