// The process-wide registry of cascade invalidators.
//
// The host installs one invalidator per CascadeInvalidatorType at start-up (Initialize); the
// coherence service then reports dirty and evicted entries to each of them, and query-job scopes
// report used results. The holder borrows the invalidators: they must outlive their use through
// it, and it never deletes them; a kind may have none (a null slot, which callers skip). The one
// holder is made on the first GetInstance and kept until the process ends. Misuse raises
// LogicException and leaves the holder unchanged.
// Thread contract: const methods are safe for concurrent use; anything else needs external
// synchronization (Initialize and ResetForTest must not run while another thread reads the list).
#pragma once

#include <vector>

#include "VelcacheExport.h"
#include "caching/CascadeInvalidator.h"

namespace velmora::caching {

/// The kinds of invalidator a host installs, in list order. End is their number, not a kind.
enum class CascadeInvalidatorType : int {
    QueryJobScopes = 0,  // the CascadeInvalidatorAggregator
    QueryResults = 1,
    Metadata = 2,
    HostDefined = 3,
    End = 4
};

/// The process's list of cascade invalidators, one per kind. Safe for concurrent use.
class VELCACHE_EXPORT ICascadeInvalidatorHolder {
public:
    /// Installs the list: the invalidator of kind k at index k (null for a kind without one).
    /// Logs the holder and every pointer at Info.
    /// REQUIRES: the holder is empty ("Already initialized!"); invalidators holds exactly
    /// CascadeInvalidatorType::End pointers ("Number of invalidators does not match enum!").
    virtual void Initialize(const std::vector<ICascadeInvalidator*>& invalidators) = 0;
    /// Test hook: empties the list so that Initialize may run again.
    /// REQUIRES: the unit-test flag of AppConfig is on.
    virtual void ResetForTest() = 0;
    /// The invalidator of one kind; null before Initialize or when that kind has none.
    /// REQUIRES: invalidatorType is a kind, not End.
    virtual ICascadeInvalidator* GetInvalidator(CascadeInvalidatorType invalidatorType) const = 0;
    /// The installed list in kind order; empty before Initialize. Callers skip null entries.
    virtual const std::vector<ICascadeInvalidator*>& GetInvalidators() const = 0;
    virtual ~ICascadeInvalidatorHolder();
};

/// Gives the process's ICascadeInvalidatorHolder.
class VELCACHE_EXPORT CascadeInvalidatorHolderFactory {
public:
    /// The process's holder, made empty on the first call (concurrent first calls make one).
    static ICascadeInvalidatorHolder& GetInstance();
};

}  // namespace velmora::caching
