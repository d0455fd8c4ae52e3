// The two roles a child process of a run plays. Each function is the whole body of its process:
// it reports to the parent and follows the parent's commands through `parent`, on the calling
// thread, until the parent ends it.
#pragma once

#include <cstdint>
#include <vector>

#include "data/QueryCatalogue.h"
#include "harness/ChildConfig.h"
#include "harness/ParentLink.h"
#include "host/DemoHost.h"
#include "host/ResultCache.h"
#include "judge/ChangeRecorder.h"

namespace demo {

// The herd of a chaos run: the answers of this many of the hottest base queries are dropped at
// once, and the workers count their database loads for this long after.
inline constexpr std::size_t kHerdKeys = 50;
inline constexpr int kHerdWindowMs = 2000;

// A worker: one host answering a skewed stream of catalogue queries through its caches (a
// read-through cache for base queries, a derived-result cache for derived ones; see
// ResultCache.h). It samples the answers served from a cache against the database, measures the
// database alone on the same stream now and then, reports progress to the parent, and after
// "settle" compares everything it still holds with the database.
void RunWorker(const ChildConfig& config, DemoHost& host, ParentLink& parent,
               const QueryCatalogue& catalogue);

// The writer: changes the data under the workers. At a steady rate it updates one sales row,
// bumps the version of every base query the row affects and records the change with each
// query's rows at its new version, all in one transaction (ChangeRecorder); then it announces
// the change (AnnounceChange) and records when each query was announced.
void RunWriter(const ChildConfig& config, DemoHost& host, ParentLink& parent,
               const QueryCatalogue& catalogue);

// The follower of a run on PostgreSQL (--database postgres): reads the database's commit log
// and announces each change of a sales row by the tags of the answers that read it, as the writer
// does itself on SQLite; reports what it announced and its lag.
void RunFollower(const ChildConfig& config, DemoHost& host, ParentLink& parent,
                 const QueryCatalogue& catalogue);

// After `update` committed: recomputes every base query it affected and sets the new answer in
// `cache` (the run's base cache, of the workers' name), which announces it (older, different
// copies elsewhere become dirty, and older stored copies are no longer served) and writes it
// through to the external layers. Returns when each query was announced (NowMs), in the order
// of update.affected.
std::vector<std::int64_t> AnnounceChange(BaseResults& cache, QueryRunner& runner,
                                         const QueryCatalogue& catalogue,
                                         const ChangeRecorder::Update& update);
// After `update` committed: invalidates the tags of the changed row's values
// (QueryCatalogue::RowTags), which drops every answer that read the row in every worker. Returns
// when (NowMs, once for every affected query, in the order of update.affected).
std::vector<std::int64_t> AnnounceChangeByTags(velmora::caching::TagInvalidations& tags,
                                               const QueryCatalogue& catalogue,
                                               const ChangeRecorder::Update& update);

}  // namespace demo
