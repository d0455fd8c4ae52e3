#include "support/TestEnvironment.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

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

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary directory " + pattern + ": " +
                                 std::strerror(errno));
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;  // a process the test started may still be writing there
    std::filesystem::remove_all(m_path, ignored);
}

}  // namespace veltest
