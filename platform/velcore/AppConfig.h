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

/// The host's configuration switches, one set per process; all start off. Safe for concurrent use.
class VELPLATFORM_EXPORT AppConfig {
public:
    /// The process's switches (made on first use, never destroyed).
    static AppConfig& GetInstance();

    /// Whether the process runs unit tests.
    bool GetUnitTestFlag() const { return m_unitTest.load(); }
    /// Whether the process runs in test mode.
    bool GetTestMode() const { return m_testMode.load(); }
    /// Whether the external caches are on for this process.
    bool GetExternalCacheEnabled() const { return m_externalCacheEnabled.load(); }
    /// The directory of the disk external caches; empty until set.
    TString GetExternalCacheDir() const;
    /// Whether the process serves the external protocol.
    bool GetIsExternalProtocolServer() const { return m_externalProtocolServer.load(); }
    /// Whether the process is the publicly hosted server.
    bool IsPublicServer() const { return m_publicServer.load(); }
    /// Whether the process is the desktop client.
    bool IsDesktopClient() const { return m_desktopClient.load(); }
    /// Whether the process is the second desktop product.
    bool IsSecondDesktopProduct() const { return m_secondDesktop.load(); }
    /// Whether the process is a further host variant.
    bool IsFurtherHostVariant() const { return m_furtherVariant.load(); }

    /// Sets GetUnitTestFlag.
    void SetUnitTestFlag(bool on) { m_unitTest = on; }
    /// Sets GetTestMode.
    void SetTestMode(bool on) { m_testMode = on; }
    /// Sets GetExternalCacheEnabled.
    void SetExternalCacheEnabled(bool on) { m_externalCacheEnabled = on; }
    /// Sets GetExternalCacheDir.
    void SetExternalCacheDir(const TString& dir);
    /// Sets GetIsExternalProtocolServer.
    void SetIsExternalProtocolServer(bool on) { m_externalProtocolServer = on; }
    /// Sets IsPublicServer.
    void SetPublicServer(bool on) { m_publicServer = on; }
    /// Sets IsDesktopClient.
    void SetDesktopClient(bool on) { m_desktopClient = on; }
    /// Sets IsSecondDesktopProduct.
    void SetSecondDesktopProduct(bool on) { m_secondDesktop = on; }
    /// Sets IsFurtherHostVariant.
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
    mutable velmora::TMutex m_mutex;
    TString m_externalCacheDir VEL_GUARDED_BY(m_mutex);
};
