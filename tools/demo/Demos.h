// The chapters of the demo host; main runs them in order.
#pragma once

void RunCacheDemo();

// The indexed cache and the lock-protected caches: an index answering a predicate, hints
// being pruned, and two threads sharing one cache.
void RunIndexedAndSynchronizedDemo();

// Cascade invalidation: two query jobs on two threads, each with its scope and handler, and
// which handler is told when an entry it used becomes dirty.
void RunCascadeDemo();

// Cross-process coherence: this process and a forked one share a private redis-server; a newer,
// different result cached in one drops the older entry in the other. Skipped without
// redis-server.
void RunCoherenceDemo();

// External caches: a disk cache (and a Redis cache when redis-server is installed) storing,
// loading and dropping with the log line of each operation, a store refused as too cheap, and
// the attribute-map rule writing the calling thread's identity.
void RunExternalCacheDemo();

// The read-through cache and derived results: memory, a disk cache and a loader behind one call,
// one load per key however many threads ask, and a writer's Set that drops the older copies and
// the derived result built from them. Skipped without redis-server.
void RunReadThroughDemo();
