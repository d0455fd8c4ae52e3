// The aggregator's guid index stays in step with the registered scopes while scopes record,
// end, are released, lose evicted guids and turn dirty on other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "caching/CascadeInvalidator.h"
#include "support/TestEnvironment.h"
#include "velcore/ThreadContext.h"

using namespace velmora::caching;

namespace {

// Guids [1, kDirtyEnd] are reported dirty at random, (kDirtyEnd, kGuidEnd] evicted at random.
constexpr unsigned kDirtyEnd = 16, kGuidEnd = 64;
constexpr int kWorkers = 2, kScopesPerWorker = 300;

struct CountingHandler : IScopeDirtyHandler {
    void OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>&) override { ++calls; }
    std::atomic<int> calls{0};
};

TEST(CascadeIndexConcurrency, ScopesEndingWhileOthersAreDirtiedLeaveTheIndexConsistent) {
    veltest::HostScope host;
    CascadeInvalidatorAggregator aggregator;
    std::vector<std::shared_ptr<CountingHandler>> handlers[kWorkers];
    std::atomic<bool> stop{false};

    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            ScopedThreadContext context;
            std::mt19937 random(static_cast<unsigned>(w + 7));
            auto& current = context.Get().GetQueryCacheContext().m_invalidatorScope;
            for (int k = 0; k < kScopesPerWorker; ++k) {
                auto scope = std::make_shared<CascadeInvalidatorAggregator::Scope>(&aggregator);
                current = scope;
                auto handler = std::make_shared<CountingHandler>();
                handlers[w].push_back(handler);
                // Half register first, so that later uses enter the index one by one.
                if (k % 2 == 0) scope->AddHandler(handler);
                aggregator.OnEntryUsed(1 + random() % kDirtyEnd, nullptr);
                for (int j = 0; j < 6; ++j)
                    aggregator.OnEntryUsed(1 + random() % kGuidEnd, nullptr);
                if (k % 2 == 1) scope->AddHandler(handler);
                scope->EndScope();
                current.reset();  // the job ends: only the aggregator keeps the scope now
            }
        });
    }
    std::thread dirtier([&] {
        std::mt19937 random(99);
        while (!stop) {
            aggregator.OnDirty({1 + unsigned(random() % kDirtyEnd)}, nullptr);
            aggregator.OnEvicted({kDirtyEnd + 1 + unsigned(random() % (kGuidEnd - kDirtyEnd))},
                                 nullptr);
        }
    });
    for (std::thread& t : workers) t.join();
    stop = true;
    dirtier.join();

    EXPECT_EQ(aggregator.CheckIndexForTest().toStdString(), "");
    // Every scope recorded a guid of the dirty range, which no one evicts: a last sweep turns
    // every scope still registered dirty, and leaves nothing indexed.
    for (unsigned guid = 1; guid <= kDirtyEnd; ++guid) aggregator.OnDirty({guid}, nullptr);
    EXPECT_EQ(aggregator.GetScopeCount(), 0u);
    EXPECT_EQ(aggregator.CheckIndexForTest().toStdString(), "");
    for (const auto& list : handlers)
        for (const auto& handler : list) ASSERT_EQ(handler->calls.load(), 1);
}

}  // namespace
