// AppConfig: the host's configuration switches, one per process.
//
// The host sets each switch through its setter at start-up (tests set them per test); the
// library only reads them. All switches start off and the external-cache directory empty.
// The host-variant queries say which product variant the process is: the publicly hosted
// server, the desktop client, a second desktop product or a further variant.
// Thread contract: safe for concurrent use.
#pragma once

#include <atomic>
#include <mutex>

#include "velcoreplatform/TString.h"
#include "velsys/Export.h"
#include "velsys/Locks.h"

class VELPLATFORM_EXPORT AppConfig {
public:
    static AppConfig& GetInstance();

    bool GetUnitTestFlag() const { return m_unitTest.load(); }
    bool GetTestMode() const { return m_testMode.load(); }
    bool GetExternalCacheEnabled() const { return m_externalCacheEnabled.load(); }
    TString GetExternalCacheDir() const;
    bool GetIsExternalProtocolServer() const { return m_externalProtocolServer.load(); }
    bool IsPublicServer() const { return m_publicServer.load(); }
    bool IsDesktopClient() const { return m_desktopClient.load(); }
    bool IsSecondDesktopProduct() const { return m_secondDesktop.load(); }
    bool IsFurtherHostVariant() const { return m_furtherVariant.load(); }

    void SetUnitTestFlag(bool on) { m_unitTest = on; }
    void SetTestMode(bool on) { m_testMode = on; }
    void SetExternalCacheEnabled(bool on) { m_externalCacheEnabled = on; }
    void SetExternalCacheDir(const TString& dir);
    void SetIsExternalProtocolServer(bool on) { m_externalProtocolServer = on; }
    void SetPublicServer(bool on) { m_publicServer = on; }
    void SetDesktopClient(bool on) { m_desktopClient = on; }
    void SetSecondDesktopProduct(bool on) { m_secondDesktop = on; }
    void SetFurtherHostVariant(bool on) { m_furtherVariant = on; }

private:
    AppConfig() = default;

    std::atomic<bool> m_unitTest{false};
    std::atomic<bool> m_testMode{false};
    std::atomic<bool> m_externalCacheEnabled{false};
    std::atomic<bool> m_externalProtocolServer{false};
    std::atomic<bool> m_publicServer{false};
    std::atomic<bool> m_desktopClient{false};
    std::atomic<bool> m_secondDesktop{false};
    std::atomic<bool> m_furtherVariant{false};
    mutable TMutex m_mutex;
    TString m_externalCacheDir GUARDED_BY(m_mutex);
};
