// FeatureFlags: switches the host turns on or off by identifier.
// A flag nobody set is off. Thread contract: safe for concurrent use.
#pragma once

#include <cstdint>

#include "velsys/Export.h"

using FeatureFlagId = std::uint32_t;

class VELPLATFORM_EXPORT FeatureFlags {
public:
    static bool IsOn(FeatureFlagId id);
    static void Set(FeatureFlagId id, bool on);
    static void ResetAll();
};
