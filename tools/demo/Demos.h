// The chapters of the demo host; main runs them in order.
#pragma once

void RunCacheDemo();

// The indexed cache and the lock-protected caches: an index answering a predicate, hints
// being pruned, and two threads sharing one cache.
void RunIndexedAndSynchronizedDemo();
