// The severity of coherence and cascade log lines, inline for the library's hot paths (every
// entry use tests it). Private to the library; GetCacheSynchronizationLogLevel exports it.
// Reads the option CacheSynchronizationLogging on every call; safe for concurrent use.
#pragma once

#include "velcore/AppOptions.h"
#include "velcoreplatform/TLog.h"

namespace velmora::caching {

inline TLog::NonErrorSeverity SynchronizationLogLevel() {
    return velmora::appoptions::CacheSynchronizationLogging() ? TLog::NonErrorInfo
                                                              : TLog::NonErrorDebug;
}

}  // namespace velmora::caching
