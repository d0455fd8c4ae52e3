#include "support/TestEnvironment.h"

#include "velcoredata/FeatureFlags.h"

namespace veltest {

HostScope::HostScope()
    : m_sink(std::make_shared<CapturingLogSink>()),
      m_previousSink(TLog::SetSink(m_sink)),
      m_previousUnitTest(AppConfig::GetInstance().GetUnitTestFlag()) {
    AppConfig::GetInstance().SetUnitTestFlag(true);
}

HostScope::~HostScope() {
    velmora::appoptions::ResetAll();
    FeatureFlags::ResetAll();
    AppConfig::GetInstance().SetUnitTestFlag(m_previousUnitTest);
    TLog::SetSink(m_previousSink);
}

}  // namespace veltest
