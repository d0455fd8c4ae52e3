#include "support/TestEnvironment.h"

#include "velcoredata/FeatureFlags.h"

namespace veltest {

HostScope::HostScope() : m_previousUnitTest(AppConfig::GetInstance().GetUnitTestFlag()) {
    AppConfig::GetInstance().SetUnitTestFlag(true);
}

HostScope::~HostScope() {
    velmora::appoptions::ResetAll();
    FeatureFlags::ResetAll();
    AppConfig::GetInstance().SetUnitTestFlag(m_previousUnitTest);
    // The sinks are put back by their scopes, after this body.
}

}  // namespace veltest
