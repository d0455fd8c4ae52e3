// SessionActorInfo: the identity (site and user) a thread works for.
//
// The host binds an actor to a thread for the length of a request with ScopedSessionActor;
// GetSessionActorInfoFromThread returns the actor bound to the calling thread, or null when
// none is (ScopedSessionActor is this platform's own, in namespace velmora). Identities are opaque
// text ("LUID"s); the host decides their form. Thread contract: const methods are safe for
// concurrent use; the binding is per thread.
#pragma once

#include <memory>

#include "velcoreplatform/TString.h"
#include "velsys/Export.h"

/// Who a thread works for: the site and the user of the session. Immutable; safe for concurrent
/// use.
class VELPLATFORM_EXPORT SessionActorInfo {
public:
    /// The actor of site `siteLuid` and user `userLuid`.
    SessionActorInfo(TString siteLuid, TString userLuid)
        : m_siteLuid(std::move(siteLuid)), m_userLuid(std::move(userLuid)) {}

    /// The site's identity.
    const TString& GetSiteLuid() const { return m_siteLuid; }
    /// The user's identity.
    const TString& GetUserLuid() const { return m_userLuid; }

    /// The actor bound to the calling thread; null when none is bound.
    static std::shared_ptr<const SessionActorInfo> GetSessionActorInfoFromThread();

private:
    /// Constant after construction.
    TString m_siteLuid;
    TString m_userLuid;
};

namespace velmora {

/// Binds an actor (may be null) to the calling thread for the length of a scope and restores
/// the previous binding after. Not thread-safe: use from one thread at a time.
class VELPLATFORM_EXPORT ScopedSessionActor {
public:
    /// Binds `actor` to the calling thread until the scope ends.
    explicit ScopedSessionActor(std::shared_ptr<const SessionActorInfo> actor);
    ~ScopedSessionActor();
    ScopedSessionActor(const ScopedSessionActor&) = delete;
    ScopedSessionActor& operator=(const ScopedSessionActor&) = delete;

private:
    std::shared_ptr<const SessionActorInfo> m_previous;
};

}  // namespace velmora
