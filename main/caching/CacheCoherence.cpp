#include "caching/CacheCoherence.h"

#include "caching/SynchronizationLogLevel.h"

namespace velmora::caching {

ICacheCoherence::~ICacheCoherence() = default;
ICoherentCache::~ICoherentCache() = default;

void AddMetrics(OnRemovedMetrics& total, const OnRemovedMetrics& more) {
    total.totalMs += more.totalMs;
    total.guidCount += more.guidCount;
    total.lockMs += more.lockMs;
    total.pruneMs += more.pruneMs;
}

void UpdateStringLookupTableWithMetrics(const OnAddedMetrics& metrics, StringLookupTable& table) {
    table[TString("on-added-ms")] = TString::number(metrics.totalMs, 10);
    table[TString("on-added-lock-ms")] = TString::number(metrics.lockMs, 10);
    table[TString("on-added-dirty-ms")] = TString::number(metrics.dirtyMs, 10);
    table[TString("on-added-prune-ms")] = TString::number(metrics.pruneMs, 10);
    table[TString("on-added-publish-ms")] = TString::number(metrics.publishMs, 10);
}

void UpdateStringLookupTableWithMetrics(const OnRemovedMetrics& metrics, StringLookupTable& table) {
    table[TString("on-removed-ms")] = TString::number(metrics.totalMs, 10);
    table[TString("on-removed-guid-count")] = TString::number(metrics.guidCount, 10);
    table[TString("on-removed-lock-ms")] = TString::number(metrics.lockMs, 10);
    table[TString("on-removed-prune-ms")] = TString::number(metrics.pruneMs, 10);
}

StringLookupTable StringLookupTableFromMetrics(const OnRemovedMetrics& metrics) {
    StringLookupTable table;
    UpdateStringLookupTableWithMetrics(metrics, table);
    return table;
}

TLog::NonErrorSeverity GetCacheSynchronizationLogLevel() {
    return SynchronizationLogLevel();
}

}  // namespace velmora::caching
