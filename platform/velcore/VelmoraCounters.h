// Process-wide application counters read by the host's monitoring.
// Each is an atomic updated with plain atomic operations. Thread contract: safe for concurrent
// use.
#pragma once

#include <atomic>

#include "velsys/Export.h"

struct VELPLATFORM_EXPORT VelmoraCounters {
    // Coherence messages that found nothing to compare with here.
    static std::atomic<long long> RedisPubsubWastedMessages;
    // Key hashes that started or stopped being tracked.
    static std::atomic<long long> RedisPubsubSavedMessages;
    // Removals waiting for their addition.
    static std::atomic<long long> RedisPubsubPlaceholderSize;
};
