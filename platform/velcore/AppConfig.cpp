#include "velcore/AppConfig.h"

AppConfig& AppConfig::GetInstance() {
    static AppConfig* instance = new AppConfig();  // Lives until the process ends.
    return *instance;
}

TString AppConfig::GetExternalCacheDir() const {
    velmora::TMutexLock lock(m_mutex);
    return m_externalCacheDir;
}

void AppConfig::SetExternalCacheDir(const TString& dir) {
    velmora::TMutexLock lock(m_mutex);
    m_externalCacheDir = dir;
}
