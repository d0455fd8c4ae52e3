// The identity rule for attribute maps that describe cached results.
//
// Results that depend on who asked must carry the asking site's identity, and for per-user
// results the user's, so that one tenant's or user's result is never served to another.
// EnforceCacheInvariantsWithUpsert writes those identities, taken from the session actor bound
// to the calling thread, into the caller's map, and reports a missing one by its result and a
// Warn line. Whether enforcement is skipped, and whether failures are logged, is decided once
// per process, at the first call, from the host configuration and a feature flag; later
// configuration changes do not reach it. Nothing here throws for a missing identity.
// Thread contract: safe for concurrent use (the map is the caller's and is not locked).
#pragma once

#include <cstdint>
#include <unordered_map>

#include "VelcacheExport.h"
#include "velcoreplatform/TString.h"

namespace velmora::caching {

enum class ConstraintEnforcementResult : std::int32_t {
    None = 0,             // "none": never returned by the enforcement
    MissingSiteLuid = 1,  // "missing-site-luid"
    MissingUserLuid = 2,  // "missing-user-luid"
    Passed = 3,           // "passed"
};

/// What a result depends on. PerUser asks for the user's identity besides the site's; every
/// other value checks the site's only.
enum class CacheScope : std::int32_t {
    PerSite = 0,
    PerUser = 1,
};

using AttributeMap = std::unordered_map<TString, TString>;

VELCACHE_EXPORT extern const TString siteLuidAttributeName;  ///< "site-luid"
VELCACHE_EXPORT extern const TString userLuidAttributeName;  ///< "user-luid"

/// Feature flag that turns enforcement on (enforcement is skipped while it is off).
inline constexpr std::uint32_t kCacheInvariantEnforcementFlag = 0x6460C0E0;

/// Writes the calling thread's site identity (and, for CacheScope::PerUser, user identity) into
/// `attributes`. An identity that is empty or "-" is missing. Under active enforcement a present
/// site identity is written and a missing one returns MissingSiteLuid with the map unchanged;
/// under skipped enforcement the site entry is left alone. A present user identity is always
/// written; a missing one returns MissingUserLuid under active enforcement and is written as
/// read (empty or "-") under skipped enforcement. Returns Passed otherwise.
VELCACHE_EXPORT ConstraintEnforcementResult
EnforceCacheInvariantsWithUpsert(AttributeMap& attributes, CacheScope scope);

/// The word of a result ("none", "missing-site-luid", "missing-user-luid", "passed"); any other
/// value gives "unknown".
VELCACHE_EXPORT TString ConstraintEnforcementResultToString(ConstraintEnforcementResult result);

}  // namespace velmora::caching
