// Scopes are created, fed and released on several threads while one thread reports dirty and
// evicted entries and another adds handlers. Every event is stamped from one counter, so the test
// can tell which OnDirty call a handler registered before, and must have been told by. The
// aggregator's guid index must stay in step with the registered scopes throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "caching/CascadeInvalidator.h"
#include "support/TestEnvironment.h"
#include "velcore/ThreadContext.h"

using namespace velmora::caching;

namespace {

// Guids [0, kDirtyEnd) are reported dirty, [kDirtyEnd, kEvictedEnd) evicted, the rest neither.
constexpr unsigned kDirtyEnd = 8, kEvictedEnd = 64, kGuidRange = 256;
constexpr int kWorkers = 3, kScopesPerWorker = 150, kGuidsPerScope = 10, kMaxDirtyRounds = 20000;

std::atomic<long> s_clock{0};
long Tick() {
    return ++s_clock;
}

struct StampingHandler : IScopeDirtyHandler {
    void OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>&) override {
        calledAt.store(Tick());
        ++calls;
    }
    std::atomic<int> calls{0};
    std::atomic<long> calledAt{LONG_MAX};
};

struct ScopeRecord {
    std::shared_ptr<IInvalidatorAggregatorScope> scope;
    std::set<unsigned> dirtyGuids;  // guids of the dirty range it recorded
    long recordedAt = 0;            // after its last recorded use
};

struct HandlerRecord {
    std::shared_ptr<StampingHandler> handler;
    const ScopeRecord* scope;
    long registeredAt;  // after AddHandler returned
};

struct DirtyEvent {
    unsigned guid;
    long startedAt, endedAt;
};

// Counts lines without keeping them, so that every line is still built and written.
struct CountingSink : velmora::ILogSink {
    bool Accepts(int, int) const override { return true; }
    void Write(const velmora::LogRecord&) override { ++lines; }
    std::atomic<long> lines{0};
};

TEST(CascadeConcurrency, HandlersOfDirtyScopesAreToldExactlyOnce) {
    veltest::HostScope host;
    auto sink = std::make_shared<CountingSink>();
    velmora::ScopedLogSink installed(sink);
    velmora::appoptions::Set(TString("SyncCaches"), true);
    CascadeInvalidatorAggregator* aggregator = CascadeInvalidatorAggregator::TryGetSingleton();
    aggregator->ResetForTest();

    std::deque<ScopeRecord> scopes[kWorkers];           // stable addresses; worker i writes [i]
    std::vector<HandlerRecord> handlers[kWorkers + 1];  // [kWorkers]: the handler thread's
    std::mutex queueMutex;
    std::deque<const ScopeRecord*> queue;  // guarded by queueMutex
    std::atomic<int> workersLeft{kWorkers};
    std::atomic<bool> stop{false};
    std::vector<DirtyEvent> events;  // written by the dirty thread, read after joining it

    // One new handler per call. (Adding the same handler again is told again when the scope has
    // turned dirty in between, so "exactly once" holds per AddHandler of a distinct handler.)
    auto registerHandler = [&](const ScopeRecord& record, std::vector<HandlerRecord>& out) {
        auto handler = std::make_shared<StampingHandler>();
        record.scope->AddHandler(handler);
        out.push_back({handler, &record, Tick()});
    };
    auto reportDirty = [&](unsigned guid, std::vector<unsigned> guids) {
        const long startedAt = Tick();
        aggregator->OnDirty(guids, nullptr);
        events.push_back({guid, startedAt, Tick()});
    };

    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) {
        threads.emplace_back([&, w] {
            velmora::ScopedThreadContext context;
            std::mt19937 random(static_cast<unsigned>(w) + 1);
            for (int k = 0; k < kScopesPerWorker; ++k) {
                ScopeRecord& record = scopes[w].emplace_back();
                record.scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
                // Some register first, so that their uses enter the index one by one.
                if (k % 3 == 0) registerHandler(record, handlers[w]);
                for (int j = 0; j < kGuidsPerScope; ++j) {
                    const unsigned guid = random() % kGuidRange;
                    aggregator->OnEntryUsed(guid, nullptr);
                    if (guid < kDirtyEnd) record.dirtyGuids.insert(guid);
                }
                record.recordedAt = Tick();
                if (k % 5 == 4 && k % 3 != 0) {  // no handler: released at once
                    record.scope->EndScope();
                    record.scope.reset();
                    context.Get().GetQueryCacheContext().m_invalidatorScope.reset();
                    continue;
                }
                {
                    std::lock_guard<std::mutex> lock(queueMutex);
                    queue.push_back(&record);
                }
                // Uses that race with the handler thread and the dirty thread: an evicted-range
                // guid, then one of the dirty range after EndScope, which must not be recorded.
                aggregator->OnEntryUsed(
                    kDirtyEnd + static_cast<unsigned>(random() % (kEvictedEnd - kDirtyEnd)),
                    nullptr);
                record.scope->EndScope();
                const unsigned late = random() % kDirtyEnd;
                if (!record.dirtyGuids.count(late)) aggregator->OnEntryUsed(late, nullptr);
            }
            --workersLeft;
        });
    }
    threads.emplace_back([&] {  // adds handlers to the scopes the workers hand over
        for (int n = 0;;) {
            const ScopeRecord* record = nullptr;
            bool drained = false;
            {
                const bool workersDone = workersLeft == 0;  // read before looking at the queue
                std::lock_guard<std::mutex> lock(queueMutex);
                if (!queue.empty()) {
                    record = queue.front();
                    queue.pop_front();
                }
                drained = !record && workersDone;
            }
            if (drained) break;
            if (!record) {
                std::this_thread::yield();
            } else if (++n % 4 != 0) {  // some scopes never get a handler here
                registerHandler(*record, handlers[kWorkers]);
                if (n % 7 == 0) registerHandler(*record, handlers[kWorkers]);
            }
        }
    });
    std::thread dirtyThread([&] {
        for (unsigned round = 0; round < kMaxDirtyRounds && !stop; ++round) {
            reportDirty(round % kDirtyEnd, {round % kDirtyEnd, kGuidRange + 1});
            aggregator->OnEvicted({kDirtyEnd + round % (kEvictedEnd - kDirtyEnd)}, nullptr);
            std::this_thread::yield();
        }
    });
    for (std::thread& t : threads) t.join();
    stop = true;
    dirtyThread.join();
    EXPECT_EQ(aggregator->CheckIndexForTest().toStdString(), "");
    // A last sweep: every registered scope that recorded a dirty guid must now be dirty.
    for (unsigned guid = 0; guid < kDirtyEnd; ++guid) reportDirty(guid, {guid});

    std::set<const ScopeRecord*> cleanScopesWithHandlers;
    size_t told = 0;
    for (const auto& list : handlers) {
        for (const HandlerRecord& h : list) {
            const ScopeRecord& record = *h.scope;
            if (record.dirtyGuids.empty()) {
                cleanScopesWithHandlers.insert(&record);
                EXPECT_EQ(h.handler->calls.load(), 0)
                    << "told about a scope that used no dirty entry";
                continue;
            }
            ASSERT_EQ(h.handler->calls.load(), 1);
            ++told;
            // The first OnDirty of a recorded guid that began after both the recording and the
            // registration must have told the handler before it returned.
            long due = LONG_MAX;
            for (const DirtyEvent& e : events)
                if (record.dirtyGuids.count(e.guid) &&
                    e.startedAt > std::max(h.registeredAt, record.recordedAt))
                    due = std::min(due, e.endedAt);
            EXPECT_LT(h.handler->calledAt.load(), due);
        }
    }
    EXPECT_GT(told, 0u);
    EXPECT_GT(cleanScopesWithHandlers.size(), 0u);
    // Dirty scopes are dropped; clean ones with a handler stay tracked.
    EXPECT_EQ(aggregator->GetScopeCount(), cleanScopesWithHandlers.size());
    EXPECT_EQ(aggregator->CheckIndexForTest().toStdString(), "");
    EXPECT_GT(sink->lines.load(), 0);
    aggregator->ResetForTest();
}

}  // namespace
