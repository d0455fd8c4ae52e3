// The chapters of the demo host; main runs them in order.
#pragma once

void RunCacheDemo();

// The indexed cache and the lock-protected caches: an index answering a predicate, hints
// being pruned, and two threads sharing one cache.
void RunIndexedAndSynchronizedDemo();

// Cascade invalidation: two query jobs on two threads, each with its scope and handler, and
// which handler is told when an entry it used becomes dirty.
void RunCascadeDemo();
